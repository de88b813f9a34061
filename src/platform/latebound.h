// Late-bound base files: a settings file that another installer drops, after
// the fact, into a directory named in the registry. The caller loads it as the
// base document of the system hive; this only says where it is.
//
//   HKEY_LOCAL_MACHINE\SOFTWARE\Halvern\NS\<namespace>\Latebound
//     "LateboundPath" (REG_SZ or REG_EXPAND_SZ, read unexpanded) = <dir>
//   file: <dir>/100/settings/<product>.velder
#pragma once

#include <string>
#include <string_view>

namespace Latebound {

// The registry key template; every "<namespace>" in it is replaced.
inline constexpr std::string_view kKeyTemplate = "SOFTWARE\\Halvern\\NS\\<namespace>\\Latebound";

// The full path of the late-bound base file of `product` in `ns` when the
// registry names an absolute directory and the file exists there as a regular
// file; otherwise an empty path, with an error logged ("Failed to read
// LateboundTargetDir: <code>, from <key>" when the value cannot be read,
// "Not found: '<path>'" when there is no such file). A relative or empty
// directory would depend on the service's working folder, so it counts as not
// found. Stateless; any thread.
std::string GetLateboundBaseFile(std::string_view product, std::string_view ns);

}  // namespace Latebound
