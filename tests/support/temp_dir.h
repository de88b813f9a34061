// A fresh folder per test, removed with everything in it when the test ends,
// and whole-file reads and writes.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Writes `bytes` to `path`, replacing it; fails the test on error.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// The whole content of `path`, or an empty string when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// The permission bits of `path` itself (a link is not followed); 0 when it is missing.
inline mode_t ModeOf(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace testing_support
