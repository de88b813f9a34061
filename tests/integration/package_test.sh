#!/usr/bin/env bash
# The Debian package as scripts/package makes it (CPack, DEB): its files and
# modes, its control fields and maintainer scripts; then, as root, a real
# installation with dpkg into a root folder of its own (the maintainer scripts
# honour $DPKG_ROOT) that must make the service's folders with their modes,
# and a purge that must take the hives away again.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"
deb=$(ls "$work"/out/velder_*.deb)

# The package holds what the installation holds (install_test.sh checks every
# file and its mode): here that it lands below /usr, the plug-in in the
# multiarch folder velder-host looks in, and that every entry is root's.
dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' >"$work/contents"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for entry in "-rwxr-xr-x bin/velder-host" "-rw-r--r-- lib/$multiarch/halvern/libvelder_plugin.so"; do
  grep -qxF -e "${entry% *} root/root ./usr/${entry#* }" "$work/contents" ||
    fail "no '$entry' in: $(cat "$work/contents")"
done
! grep -v -e '^[dl-]r[w-]xr-xr-x \|^-rw-r--r-- \|^lrwxrwxrwx ' "$work/contents" || fail "entries with unusual modes"
! grep -v 'root/root' "$work/contents" || fail "entries not owned by root"

# Control: dependencies found by dpkg-shlibdeps, executable maintainer scripts.
dpkg-deb -f "$deb" Package Depends | grep -q '^Depends: .*libc6' || fail "no dependencies in the control file"
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
for s in postinst prerm postrm; do
  [ "$(stat -c %a "$work/control/$s")" = 755 ] || fail "maintainer script $s missing or not executable"
  sh -n "$work/control/$s" || fail "$s is not valid shell"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/velder-host.service >"$work/unit"
for line in ExecStart=/usr/bin/velder-host ProtectSystem=strict NoNewPrivileges=yes PrivateTmp=yes \
            'ReadWritePaths=/var/lib/halvern /var/log/Halvern /run/halvern'; do
  grep -q "^$line" "$work/unit" || fail "the unit lacks $line"
done

if [ "$(id -u)" -ne 0 ]; then
  echo "package contents OK (not root: no trial installation)"
  exit 0
fi
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg_in_root() {
  dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless --force-depends "$@" >"$work/dpkg.out" 2>&1 ||
    fail "dpkg $*: $(cat "$work/dpkg.out")"
}
dpkg_in_root -i "$deb"
for entry in /var/lib/halvern:755 /var/lib/halvern/registry:755 /var/lib/halvern/velder:700 \
             /var/log/Halvern:755 /run/halvern:755 /run/halvern/ipc:755; do
  folder=${entry%:*} mode=${entry#*:}
  [ "$(stat -c '%a %U' "$root$folder" 2>/dev/null)" = "$mode root" ] || fail "$folder is not made with mode $mode"
done
if command -v systemctl >/dev/null; then
  [ -L "$root/etc/systemd/system/multi-user.target.wants/velder-host.service" ] || fail "the unit is not enabled"
fi
# A purge keeps the registry store, the machine configuration of others too.
touch "$root/var/lib/halvern/velder/tarn.S-1-5-18.local.velder"
dpkg_in_root --purge velder
[ ! -e "$root/var/lib/halvern/velder" ] || fail "a purge leaves the hives"
[ ! -e "$root/usr/bin/velder-host" ] || fail "a purge leaves the programs"
[ -d "$root/var/lib/halvern/registry" ] || fail "a purge removes the registry store"
[ ! -e "$root/etc/systemd/system/multi-user.target.wants/velder-host.service" ] || fail "a purge leaves the unit enabled"
echo "package OK"
