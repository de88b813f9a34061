#include "logging/file_system_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace HvQorLogging::FileSystem {
namespace {

// Sets the mode of the directory we just made without following a link that
// may have been swapped in meanwhile.
void ApplyDirectoryMode(const std::string& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  ::fchmod(fd, mode);
  ::close(fd);
}

// Makes sure `dir` is a real directory, replacing a symbolic link.
bool EnsureDirectory(const std::string& dir, const Permissions& permissions) {
  // A second round covers another process creating the same directory at
  // the same moment, or a link planted again between our steps.
  for (int attempt = 0; attempt < 3; ++attempt) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return true;
      if (!S_ISLNK(st.st_mode)) return false;
      if (::unlink(dir.c_str()) != 0 && errno != ENOENT) return false;
    } else if (errno != ENOENT) {
      return false;
    }
    if (::mkdir(dir.c_str(), permissions.directory_mode) == 0) {
      if (permissions.exact) ApplyDirectoryMode(dir, permissions.directory_mode);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

std::unique_ptr<File> Path::NewFile() const { return std::make_unique<File>(); }

bool Path::IsFile(const std::string& path) const {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool Path::CreateDirectories(const std::string& path, size_t start, const Permissions& permissions) const {
  if (path.empty()) return false;
  for (size_t slash = path.find('/', start); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (slash == 0 || path[slash - 1] == '/') continue;  // the file-system root, or "//"
    if (!EnsureDirectory(path.substr(0, slash), permissions)) return false;
  }
  if (path.back() == '/') return true;
  return EnsureDirectory(path, permissions);
}

bool Path::MoveFile(const std::string& from, const std::string& to) const {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool Path::DeleteFile(const std::string& path) const {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR;
}

}  // namespace HvQorLogging::FileSystem
