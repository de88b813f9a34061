// A fresh folder per test, removed with everything in it when the test ends.
#pragma once

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
  // path() / name, as a string.
  std::string File(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Writes `bytes` to `path`, replacing it; fails the test on error.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// The whole content of `path`, or an empty string when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

}  // namespace testing_support
