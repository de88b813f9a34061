#include "store/durable_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace durable_file {
namespace {

// Closes a descriptor on every path out of a function.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result; close can be the first to see an I/O error.
  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

int ReadAll(const std::string& path, size_t limit, std::string& out) {
  out.clear();
  // O_NONBLOCK: opening a FIFO planted in the data folder must not hang the
  // caller; regular files ignore the flag.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return errno;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > limit) return EFBIG;

  // The size is a hint only: the file may grow or shrink while it is read, so
  // read to the end, but never past the limit.
  out.resize(static_cast<size_t>(st.st_size) + 1);
  size_t used = 0;
  for (;;) {
    if (used == out.size()) {
      if (used > limit) {
        out.clear();
        return EFBIG;
      }
      out.resize(std::min(out.size() * 2, limit + 1));
    }
    const ssize_t n = ::read(fd.get(), out.data() + used, out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      out.clear();
      return err;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > limit) {
    out.clear();
    return EFBIG;
  }
  out.resize(used);
  return 0;
}

int WriteAndSync(const std::string& path, const std::string& bytes, bool& opened) {
  opened = false;
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) return errno;
  opened = true;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return ENOSPC;
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0) return errno;
  return fd.Close();
}

int SyncParentFolder(const std::string& path) {
  Fd fd(::open(ParentFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return errno;
  if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP) return errno;
  return 0;
}

int LinkReplacing(const std::string& from, const std::string& to) {
  // link() refuses an existing name, so link to a side name first and rename
  // that over `to`: rename replaces in one step.
  const std::string side = to + ".link";
  if (const int err = RemoveIfExists(side); err != 0) return err;
  if (::link(from.c_str(), side.c_str()) != 0) return errno;
  int err = 0;
  if (::rename(side.c_str(), to.c_str()) != 0) err = errno;
  // When `to` already was another name of the same file, rename succeeds
  // without removing `side`.
  ::unlink(side.c_str());
  return err;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without RENAME_NOREPLACE: link() refuses an existing name too.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

int RemoveIfExists(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
  return errno;
}

}  // namespace durable_file
