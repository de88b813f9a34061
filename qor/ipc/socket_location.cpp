#include "qor/ipc/socket_location.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

#include "qor/ipc/hv_qor_ipc.h"

namespace qor_ipc {
namespace {

constexpr size_t kMaxNameLength = 64;
constexpr const char* kSystemDir = "/run/halvern/ipc";

SocketLocation MakeLocation(const std::string& base, std::string_view identity, std::string_view service) {
  SocketLocation l;
  l.base_dir = base;
  while (l.base_dir.size() > 1 && l.base_dir.back() == '/') l.base_dir.pop_back();
  l.identity_dir = l.base_dir + "/" + std::string(identity);
  l.socket_path = l.identity_dir + "/" + std::string(service);
  l.lock_path = l.socket_path + ".lock";
  return l;
}

bool FitsSocketAddress(const std::string& path) { return path.size() < sizeof(sockaddr_un{}.sun_path); }

std::string EnvDir(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : std::string();
}

// mkdir -p with mode 0755 for every missing component.
bool MakeDirectories(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash))) return false;
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// The directory (not a symbolic link) must be owned by us and writable by
// nobody else; group or other write permission is taken away.
uint32_t SecureDirectory(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return HV_IPC_ERROR;
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return HV_IPC_ACCESS_DENIED;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
      ::chmod(path.c_str(), st.st_mode & 07777 & ~(S_IWGRP | S_IWOTH)) != 0) {
    return HV_IPC_ACCESS_DENIED;
  }
  return HV_IPC_OK;
}

// Every directory above `path` must be root's and either closed to others
// or sticky (like /tmp), so that nobody else can rename `path` away.
bool AncestorsSafeForRoot(const std::string& path) {
  std::string dir = path;
  while (true) {
    const size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos) return true;  // a relative path: the rest is the working directory's
    dir = slash == 0 ? std::string("/") : dir.substr(0, slash);
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0) return false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) return false;
    if (dir == "/") return true;
  }
}

}  // namespace

bool IsValidName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || name[0] == '.') return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

uint32_t ServerLocation(std::string_view identity, std::string_view service, SocketLocation* location) {
  if (!IsValidName(identity) || !IsValidName(service)) return HV_IPC_INVALID_PARAMETER;
  std::string base = EnvDir("HV_QOR_IPC_DIR");
  if (base.empty()) {
    if (::geteuid() == 0) {
      base = kSystemDir;
    } else {
      const std::string runtime = EnvDir("XDG_RUNTIME_DIR");
      if (runtime.empty()) return HV_IPC_ERROR;
      base = runtime + "/halvern/ipc";
    }
  }
  *location = MakeLocation(base, identity, service);
  return FitsSocketAddress(location->lock_path) ? HV_IPC_OK : HV_IPC_INVALID_PARAMETER;
}

std::vector<SocketLocation> ClientLocations(std::string_view identity, std::string_view service) {
  std::vector<SocketLocation> out;
  if (!IsValidName(identity) || !IsValidName(service)) return out;
  const std::string forced = EnvDir("HV_QOR_IPC_DIR");
  if (!forced.empty()) {
    out.push_back(MakeLocation(forced, identity, service));
  } else {
    out.push_back(MakeLocation(kSystemDir, identity, service));
    const std::string runtime = EnvDir("XDG_RUNTIME_DIR");
    if (::geteuid() != 0 && !runtime.empty()) out.push_back(MakeLocation(runtime + "/halvern/ipc", identity, service));
  }
  std::erase_if(out, [](const SocketLocation& l) { return !FitsSocketAddress(l.socket_path); });
  return out;
}

uint32_t PrepareServerDirectories(const SocketLocation& location) {
  if (!MakeDirectories(location.identity_dir)) return HV_IPC_ERROR;
  // As root the base directory itself must be root's alone: /run/halvern/ipc
  // is where every client looks first. A user's own service only needs its
  // identity directory to be safe.
  if (::geteuid() == 0) {
    char* resolved = ::realpath(location.base_dir.c_str(), nullptr);
    if (!resolved) return HV_IPC_ERROR;
    const std::string real(resolved);
    std::free(resolved);
    const uint32_t rc = SecureDirectory(real);
    if (rc != HV_IPC_OK) return rc;
    if (!AncestorsSafeForRoot(real)) return HV_IPC_ACCESS_DENIED;
  }
  return SecureDirectory(location.identity_dir);
}

}  // namespace qor_ipc
