#!/usr/bin/env bash
# The installed tree, run from a DESTDIR with a prefix other than the one the
# build was configured for: files and modes, run paths that never lead back to
# the build tree, velder-host loading the plug-in and the maker libraries from
# the installation, velderctl and hvreg working, the systemd unit pointing at
# the installed host, and the example of examples/client built against the
# installed client library through CMake and through pkg-config.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR LIBDIR CXX_COMPILER
set -euo pipefail
build=$1 source=$2 libdir=$3 cxx=$4
work=$(mktemp -d)
host_pid=
cleanup() {
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=/opt/velder
DESTDIR="$work/dest" cmake --install "$build" --prefix "$prefix" >/dev/null
root="$work/dest$prefix"
lib="$root/$libdir"

# Every file with its mode; nothing writable by group or others.
expect_mode() {
  [ -e "$root/$2" ] || fail "$2 is not installed"
  [ "$(stat -L -c %a "$root/$2")" = "$1" ] || fail "$2 has mode $(stat -L -c %a "$root/$2"), not $1"
}
for p in velder-host velderctl hvreg velder-update; do expect_mode 755 "bin/$p"; done
for l in libvelder_plugin.so libhv_qor_ipc.so libhv_qor_push_api.so libqor_proxy_resolver.so \
         libhv_qor_client_auth.so; do
  expect_mode 644 "$libdir/halvern/$l"
done
for f in "$libdir/libvelder_client.so.1" include/velder/velder_client.h include/velder/store/result_code.h \
         include/velder/store/value_type.h \
         "$libdir/cmake/Velder/VelderConfig.cmake" "$libdir/pkgconfig/velder-client.pc" \
         lib/systemd/system/velder-host.service lib/tmpfiles.d/velder.conf \
         share/man/man8/velder-host.8.gz share/man/man1/velderctl.1.gz share/man/man1/hvreg.1.gz \
         share/man/man8/velder-update.8.gz; do
  expect_mode 644 "$f"
done
writable=$(find "$work/dest" ! -type l -perm /022)
[ -z "$writable" ] || fail "writable by group or others: $writable"
grep -q "^ExecStart=$prefix/bin/velder-host " "$root/lib/systemd/system/velder-host.service" ||
  fail "the unit does not start $prefix/bin/velder-host"

# No run path may lead back to the build tree.
for f in "$root"/bin/* "$lib"/*.so.* "$lib"/halvern/*.so; do
  ! readelf -d "$f" | grep -E 'R(UN)?PATH' | grep -qF "$build" || fail "$f has a run path into the build tree"
done
ipc=$(ldd "$root/bin/velderctl" | awk '/libhv_qor_ipc.so =>/ { print $3 }')
[ "$(realpath -e "$ipc")" = "$(realpath "$lib/halvern/libhv_qor_ipc.so")" ] ||
  fail "velderctl finds libhv_qor_ipc.so at '$ipc', not in the installation"

# The installed service in a sandbox of its own.
export HV_QOR_IPC_DIR="$work/ipc" HALVERN_REGISTRY_DIR="$work/registry"
unset HALVERN_LIB_DIR VELDER_IDENTITY
mkdir -p "$work/ipc" "$work/data" "$work/logs"
"$root/bin/hvreg" add 'HKLM\SOFTWARE\Halvern\QOR\Logging' /v RootPath /d "$work/logs" /f >/dev/null
"$root/bin/velder-host" --data "$work/data" >"$work/host.out" 2>&1 &
host_pid=$!
for _ in $(seq 300); do
  grep -q "velder-host: running" "$work/host.out" && break
  kill -0 "$host_pid" 2>/dev/null || fail "velder-host ended: $(cat "$work/host.out")"
  sleep 0.1
done
grep -q "velder-host: running" "$work/host.out" || fail "velder-host did not start: $(cat "$work/host.out")"
for l in libvelder_plugin.so libhv_qor_ipc.so libhv_qor_push_api.so libqor_proxy_resolver.so libhv_qor_client_auth.so; do
  grep -qF "$lib/halvern/$l" "/proc/$host_pid/maps" || fail "velder-host did not load the installed $l"
done
! grep -qF "$build" "/proc/$host_pid/maps" || fail "velder-host loaded a library of the build tree"

# The example, built with CMake and with pkg-config against the installation.
cmake -S "$source/examples/client" -B "$work/example" -DCMAKE_PREFIX_PATH="$root" \
  -DCMAKE_CXX_COMPILER="$cxx" >"$work/example.log" 2>&1 || fail "configuring the example: $(cat "$work/example.log")"
cmake --build "$work/example" >>"$work/example.log" 2>&1 || fail "building the example: $(cat "$work/example.log")"
flags=$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs velder-client) || fail "pkg-config velder-client"
"$cxx" -std=c++20 -o "$work/greeting-pc" "$source/examples/client/greeting.cpp" $flags || fail "compiling with pkg-config flags"

[ "$("$work/example/greeting" "hello from cmake")" = "hello from cmake" ] || fail "the CMake-built example"
[ "$("$root/bin/velderctl" get example.greeting)" = "hello from cmake" ] || fail "velderctl does not read the example's value"
"$root/bin/velderctl" set example.greeting "hello from velderctl"
[ "$(LD_LIBRARY_PATH="$lib" "$work/greeting-pc")" = "hello from velderctl" ] || fail "the pkg-config-built example"

kill "$host_pid"
wait "$host_pid" || fail "velder-host did not stop cleanly: $(cat "$work/host.out")"
host_pid=
echo "installed tree OK"
