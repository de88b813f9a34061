// Small file-system steps that the hive files are built from: reading a whole
// file with a size limit, writing a file so that it is on the disk before it
// is used, replacing or publishing a name in one step, and making a folder's
// entries durable. Every function reports failure as an errno value and never
// throws; none of them logs (the caller knows which message fits).
#pragma once

#include <cstddef>
#include <string>

namespace durable_file {

// Reads the whole regular file at `path` into `out`. Returns 0 or an errno
// value: ENOENT when it does not exist, EISDIR for a folder, EINVAL for any
// other kind of file (a FIFO is never opened for blocking reads), EFBIG when
// it holds more than `limit` bytes (then nothing is read).
int ReadAll(const std::string& path, size_t limit, std::string& out);

// Creates or truncates `path` (mode 0600, never through a symbolic link),
// writes `bytes`, flushes them to the disk and closes the file. Returns 0 or
// the errno value of the first failing step; `opened` tells whether the file
// was created, so callers can tell a refused create from a failed write.
int WriteAndSync(const std::string& path, const std::string& bytes, bool& opened);

// Makes the entries of the folder holding `path` durable (a rename or a new
// name survives a power loss once this returned 0). File systems that cannot
// sync a folder count as success.
int SyncParentFolder(const std::string& path);

// Gives the file `from` the additional name `to`, replacing whatever `to`
// named, without a moment in which `to` is missing. `from` keeps its name.
// Returns 0 or an errno value (EPERM/EOPNOTSUPP where hard links are not
// supported).
int LinkReplacing(const std::string& from, const std::string& to);

// Renames `from` to `to` only if `to` does not exist (EEXIST otherwise), in
// one step, so that an existing file is never replaced.
int RenameNoReplace(const std::string& from, const std::string& to);

// Removes `path`; a missing file is success.
int RemoveIfExists(const std::string& path);

}  // namespace durable_file
