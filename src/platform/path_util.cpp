#include "platform/path_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <fstream>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The path of /proc/self/maps lines comes with newlines escaped as "\012".
std::string UnescapeMapsPath(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 4, "\\012") == 0) {
      out += '\n';
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string ExecutablePath() {
  // Grown until the link fits; readlink does not say how long the target is.
  for (size_t size = 256; size <= 1 << 20; size *= 2) {
    std::string buffer(size, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
  }
  return {};
}

// The file mapped at `address`, from the process's own memory map: unlike the
// loader's record of a library, it is always an absolute path.
std::string MappedFilePath(const void* address) {
  const auto target = reinterpret_cast<uintptr_t>(address);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    uintmax_t start = 0, end = 0;
    int path_at = 0;
    // start-end perms offset dev inode, then blanks and the path (if any).
    if (std::sscanf(line.c_str(), "%jx-%jx %*s %*s %*s %*s %n", &start, &end, &path_at) < 2) continue;
    if (target < start || target >= end) continue;
    if (path_at <= 0 || static_cast<size_t>(path_at) >= line.size() || line[path_at] != '/') return {};
    return UnescapeMapsPath(std::string_view(line).substr(static_cast<size_t>(path_at)));
  }
  return {};
}

}  // namespace

std::string JoinPath(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (b.empty()) return RemoveTrailingBackslash(a);
  std::string out(a);
  if (out.back() != kPathSeparator) out += kPathSeparator;
  out += b;
  return out;
}

std::string RemoveTrailingBackslash(std::string_view path) {
  if (path.size() > 1 && path.back() == kPathSeparator) path.remove_suffix(1);
  return std::string(path);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string QuoteIfNeeded(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return std::string(text);
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  out += text;
  out += '"';
  return out;
}

bool SplitCommandLine(std::string_view line, std::vector<std::string>& args) {
  args.clear();
  size_t i = 0;
  while (true) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size()) return true;
    if (line[i] == '"') {
      size_t close = i + 1;
      while (close < line.size() && !(line[close] == '"' && (close + 1 == line.size() || IsBlank(line[close + 1])))) {
        ++close;
      }
      if (close >= line.size()) {
        args.clear();
        return false;
      }
      args.emplace_back(line.substr(i + 1, close - i - 1));
      i = close + 1;
    } else {
      size_t end = i;
      while (end < line.size() && !IsBlank(line[end])) ++end;
      args.emplace_back(line.substr(i, end - i));
      i = end;
    }
  }
}

std::string GetModulePath(const void* module) {
  if (module == nullptr) return ExecutablePath();
  return MappedFilePath(module);
}

std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view with) {
  if (what.empty()) return std::string(text);
  std::string out;
  size_t from = 0;
  for (size_t at; (at = text.find(what, from)) != std::string_view::npos; from = at + what.size()) {
    out.append(text.substr(from, at - from));
    out.append(with);
  }
  out.append(text.substr(from));
  return out;
}
