// Where a server's socket lives, and making that place safe to listen in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qor_ipc {

// The files of one server name.
struct SocketLocation {
  std::string base_dir;      // <dir>
  std::string identity_dir;  // <dir>/<identity>
  std::string socket_path;   // <dir>/<identity>/<service>
  std::string lock_path;     // <dir>/<identity>/<service>.lock
};

// Identity and service names: 1 to 64 bytes of ASCII letters, digits, '_',
// '-' and '.', not beginning with '.'; so a name is never a path of its own.
bool IsValidName(std::string_view name);

// The location a server of this process uses. HV_IPC_INVALID_PARAMETER for
// bad names or a socket path too long for the kernel, HV_IPC_ERROR when no
// directory can be chosen (no $XDG_RUNTIME_DIR for a user).
uint32_t ServerLocation(std::string_view identity, std::string_view service, SocketLocation* location);

// The locations a client tries, in order (see hv_qor_ipc.h). Empty for bad names.
std::vector<SocketLocation> ClientLocations(std::string_view identity, std::string_view service);

// Creates the base and identity directories (mode 0755) as needed and checks
// that nobody but this process's user (root, when running as root) can
// replace what is in them: the identity directory must be a real directory
// owned by us; group or other write permission on a directory we own is
// removed. HV_IPC_ACCESS_DENIED when that cannot be ensured.
uint32_t PrepareServerDirectories(const SocketLocation& location);

}  // namespace qor_ipc
