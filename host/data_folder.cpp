#include "data_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace host {

DataFolder::~DataFolder() {
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

bool DataFolder::Open(const std::string& path, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code code;
  if (!fs::exists(path, code)) {
    fs::create_directories(path, code);
    if (code) {
      error = "cannot create the data folder '" + path + "': " + code.message();
      return false;
    }
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace, code);
  }
  if (!fs::is_directory(path, code)) {
    error = "the data folder '" + path + "' is not a folder";
    return false;
  }
  const std::string lock_path = (fs::path(path) / kLockFile).string();
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = "cannot open '" + lock_path + "': " + std::strerror(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int cause = errno;
    ::close(fd);
    error = cause == EWOULDBLOCK ? "the data folder '" + path + "' is in use by another velder-host"
                                 : "cannot lock '" + lock_path + "': " + std::strerror(cause);
    return false;
  }
  lock_fd_ = fd;
  return true;
}

}  // namespace host
