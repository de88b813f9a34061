#include "platform/namespace_resolver.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/path_util.h"
#include "platform/known_folders.h"
#include "platform/mutex.h"
#include "platform/sqlite_registry.h"
#include "platform/utf.h"

namespace {

constexpr size_t kNamespaceFileLimit = 512;
constexpr std::string_view kDefaultProgramFiles = "/opt";
constexpr std::string_view kSharedRoot = "SOFTWARE\\Halvern";
constexpr std::string_view kNamespaceRootPrefix = "SOFTWARE\\Halvern\\NS\\";

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// The process-wide cache of the namespace; the mutex is created by the guarded
// first initialisation of the function-local static.
struct NamespaceCache {
  platform::Mutex mu;
  std::string value GUARDED_BY(mu);  // empty until a namespace was found
};

NamespaceCache& Cache() {
  static NamespaceCache cache;
  return cache;
}

}  // namespace

std::string NamespaceResolver::FindNamespace(std::string_view start_path, std::string_view stop_dir) {
  std::string_view current = start_path;
  std::string result;
  while (!current.empty()) {
    const size_t slash = current.rfind(kPathSeparator);
    if (slash == std::string_view::npos) break;
    current = current.substr(0, slash);
    result = ReadNamespaceFile(current);
    if (!result.empty() || EqualsIgnoringCase(current, stop_dir)) break;
  }
  return result;
}

std::string NamespaceResolver::ReadNamespaceFile(std::string_view dir) {
  const std::string file = std::string(dir) + "/namespace.txt";
  // Non-blocking, and only a regular file is read: a FIFO in its place must
  // not hang the caller.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return {};
  std::string bytes;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    bytes.assign(kNamespaceFileLimit, '\0');
    size_t total = 0;
    while (total < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + total, bytes.size() - total);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    bytes.resize(total);
  }
  ::close(fd);
  std::string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    const size_t units = (bytes.size() - 2) / 2;
    text = platform::Utf16LeBytesToUtf8(std::string_view(bytes).substr(2, units * 2));
  } else {
    // Written by a Linux editor: UTF-8, with or without a mark.
    std::string_view utf8 = bytes;
    if (utf8.starts_with("\xEF\xBB\xBF")) utf8.remove_prefix(3);
    if (!platform::IsValidUtf8(utf8) || utf8.find('\0') != std::string_view::npos) return {};
    text = utf8;
  }
  // The name is the first line, without its line end.
  text.erase(std::min(text.find_first_of("\r\n"), text.size()));
  return text;
}

std::string NamespaceResolver::GetProgramFilesDir() {
  SqliteRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  registry.SetView(KEY_WOW64_64KEY);
  std::string dir;
  if (!registry.GetString(std::string(kCurrentVersionKey), "ProgramFilesDir", dir) || dir.empty()) {
    return std::string(kDefaultProgramFiles);
  }
  return dir;
}

std::string NamespaceResolver::GetProgramFilesX86Dir() { return GetSpecialFolder(SpecialFolder::ProgramFilesX86); }

bool NamespaceResolver::MatchProgramFilesRoot(std::string_view path, int kind, std::string& root) {
  std::string dir = kind == static_cast<int>(SpecialFolder::ProgramFiles) ? GetProgramFilesDir()
                                                                           : GetProgramFilesX86Dir();
  if (dir.empty()) return false;
  if (dir.back() != kPathSeparator) dir += kPathSeparator;
  if (!StartsWithIgnoringCase(path, dir)) return false;
  root = std::move(dir);
  return true;
}

std::string ResolveNamespace(NamespaceResolver& resolver, std::string_view path) {
  std::string root;
  if (!resolver.MatchProgramFilesRoot(path, static_cast<int>(SpecialFolder::ProgramFiles), root) &&
      !resolver.MatchProgramFilesRoot(path, static_cast<int>(SpecialFolder::ProgramFilesX86), root)) {
    return {};
  }
  const size_t vendor_end = path.find(kPathSeparator, root.size());
  if (vendor_end == std::string_view::npos || vendor_end == root.size()) return {};
  const std::string stop_dir = root + std::string(path.substr(root.size(), vendor_end - root.size()));
  return resolver.FindNamespace(path, stop_dir);
}

bool IsValidNamespace(std::string_view ns) { return ns.find_first_of("\\/.") == std::string_view::npos; }

std::string ComputeModuleNamespace(const void* module) {
  const std::string path = GetModulePath(module);
  std::string ns;
  if (!path.empty()) {
    NamespaceResolver resolver;
    ns = ResolveNamespace(resolver, path);
  }
  return IsValidNamespace(ns) ? ns : std::string();
}

std::string GetCachedNamespace(const void* module) {
  NamespaceCache& cache = Cache();
  platform::MutexLock lock(cache.mu);
  if (cache.value.empty()) cache.value = ComputeModuleNamespace(module);
  return cache.value;
}

std::string GetNamespaceRegistryRoot(const void* module) {
  const std::string ns = GetCachedNamespace(module);
  if (ns.empty()) return std::string(kSharedRoot);
  return std::string(kNamespaceRootPrefix) + ns;
}
