// The file-system operations of the log files: existence, directories,
// renames and deletion. Stateless; any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "logging/file_system_file.h"

namespace HvQorLogging::FileSystem {

class Path {
 public:
  virtual ~Path() = default;

  // A new, closed file.
  virtual std::unique_ptr<File> NewFile() const;
  // True when something that is not a directory exists at `path` (a symbolic
  // link counts as itself, never as its target).
  virtual bool IsFile(const std::string& path) const;
  // Makes every directory of `path` from byte `start` on (the part before it,
  // the root, is taken as it is). A symbolic link found where a directory
  // should be is removed and replaced by a real directory, so that log files
  // can never be redirected elsewhere; anything else in the way is a
  // failure. True when the whole path exists as directories.
  virtual bool CreateDirectories(const std::string& path, size_t start, const Permissions& permissions) const;
  // Renames `from` to `to`, replacing `to`.
  virtual bool MoveFile(const std::string& from, const std::string& to) const;
  // Removes `path`; a missing file is success. There is no later deletion as
  // on systems that lock open files: a file that cannot be removed now stays
  // until the next rotation tries again.
  virtual bool DeleteFile(const std::string& path) const;
};

}  // namespace HvQorLogging::FileSystem
