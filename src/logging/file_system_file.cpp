#include "logging/file_system_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace HvQorLogging::FileSystem {
namespace {

// O_APPEND: every write lands at the current end even when another process
// wrote meanwhile. O_NOFOLLOW: a planted symbolic link fails with ELOOP.
// O_NONBLOCK: opening a planted FIFO returns at once (it is refused below).
constexpr int kOpenFlags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;

// A few attempts, for the moment between "exists" and "open" when another
// process rotates the file away.
constexpr int kOpenAttempts = 4;

}  // namespace

File::~File() { Close(); }

bool File::Open(const std::string& path, const Permissions& permissions) {
  if (IsOpen()) return true;
  is_narrow_ = true;
  int fd = -1;
  bool created = false;
  for (int attempt = 0; attempt < kOpenAttempts && fd < 0; ++attempt) {
    fd = ::open(path.c_str(), kOpenFlags | O_CREAT | O_EXCL, permissions.file_mode);
    if (fd >= 0) {
      created = true;
      break;
    }
    if (errno != EEXIST) break;
    fd = ::open(path.c_str(), kOpenFlags);
    if (fd < 0 && errno != ENOENT) break;
  }
  if (fd < 0) {
    last_error_ = errno;
    return false;
  }
  if (created && permissions.exact) ::fchmod(fd, permissions.file_mode);
  // Regular files ignore O_NONBLOCK, but say what we mean.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
  if (!Validate()) {
    Close();
    return false;
  }
  last_error_ = 0;
  return true;
}

void File::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool File::Validate() {
  if (!IsOpen()) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    last_error_ = errno;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    last_error_ = EINVAL;
    return false;
  }
  if (st.st_nlink > 1) {
    last_error_ = EMLINK;
    return false;
  }
  unsigned char mark[2];
  ssize_t n;
  do {
    n = ::pread(fd_, mark, sizeof mark, 0);
  } while (n < 0 && errno == EINTR);
  if (n == 2 && mark[0] == 0xFF && mark[1] == 0xFE) is_narrow_ = false;
  return true;
}

bool File::IsAt(const std::string& path, uint64_t* size) const {
  if (!IsOpen()) return false;
  struct stat open_st {}, path_st {};
  if (::fstat(fd_, &open_st) != 0 || ::lstat(path.c_str(), &path_st) != 0) return false;
  if (size) *size = static_cast<uint64_t>(open_st.st_size);
  return open_st.st_dev == path_st.st_dev && open_st.st_ino == path_st.st_ino;
}

uint64_t File::SeekEnd() {
  if (!IsOpen()) return 0;
  const off_t end = ::lseek(fd_, 0, SEEK_END);
  return end < 0 ? 0 : static_cast<uint64_t>(end);
}

bool File::Append(const char* bytes, size_t count) {
  if (!IsOpen()) return false;
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Cut a partial line away again. Writers of other processes wait on
      // the file context's lock, so the last `done` bytes are ours.
      const off_t end = done > 0 ? ::lseek(fd_, 0, SEEK_END) : -1;
      if (end >= static_cast<off_t>(done)) {
        while (::ftruncate(fd_, end - static_cast<off_t>(done)) != 0 && errno == EINTR) {
        }
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool File::Flush() { return IsOpen() && ::fsync(fd_) == 0; }

}  // namespace HvQorLogging::FileSystem
