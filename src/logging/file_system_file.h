// One open log file.
//
// A log file is appended to by several processes at once and may sit in a
// directory that someone else can write, so opening is careful: a symbolic
// link in the file's place is refused, so is anything that is not a regular
// file (opening a FIFO never blocks), and a file with a second hard link is
// never written, because its other name may be a file we must not touch.
//
// Used by one thread at a time (the file context's, under the logger's lock).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace HvQorLogging::FileSystem {

// Modes of the log directories and files this process creates. With `exact`
// the modes are applied as given after creation (an administrator's log must
// not depend on the umask); otherwise the umask may narrow them. Existing
// directories and files keep their modes.
struct Permissions {
  mode_t directory_mode = 0755;
  mode_t file_mode = 0644;
  bool exact = false;
};

class File {
 public:
  File() = default;
  virtual ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path` for appending, creating it when missing. True when the file
  // is open (also when it already was). A file that fails Validate is closed
  // again and false returned; last_error() then says why.
  virtual bool Open(const std::string& path, const Permissions& permissions);
  virtual void Close();
  // Appends all `count` bytes at the end of the file, or none: when the disk
  // refuses part of them the file is cut back, so that a failed write never
  // leaves a torn line for the next writer to continue. False on failure.
  virtual bool Append(const char* bytes, size_t count);
  // The size of the file (and moves the position to its end); 0 when closed.
  virtual uint64_t SeekEnd();
  // Pushes the file's data to the disk.
  virtual bool Flush();
  virtual bool IsOpen() const { return fd_ >= 0; }
  // False when the file begins with a UTF-16 little-endian byte-order mark
  // (a log of an older format).
  virtual bool IsNarrow() const { return is_narrow_; }
  // True when the open file is a regular file with one name; reads the first
  // two bytes to set IsNarrow.
  virtual bool Validate();
  // True when `path` still names the open file: false once another process
  // has rotated it away or someone deleted it. Gives the file's size too.
  virtual bool IsAt(const std::string& path, uint64_t* size = nullptr) const;

  // The errno of the last failed Open (ELOOP: a symbolic link, EMLINK: a
  // second hard link, EINVAL: not a regular file, ENOENT: no directory).
  int last_error() const { return last_error_; }

 private:
  int fd_ = -1;
  bool is_narrow_ = true;
  int last_error_ = 0;
};

}  // namespace HvQorLogging::FileSystem
