// Where the log files of a process live, and their rotation.
//
// Directory: <root>/Halvern/NS/<identity>/Log/<framework>, or
// <root>/Halvern/Log/<framework> for an empty identity and the identities
// "default", "kv_default" and "mbt_default" (compared exactly). Files:
// <prefix>.log, <prefix>.1.log, <prefix>.2.log, where prefix is the directory
// plus "/" + component (plus "." + the process user's SID for an
// administrator with option 0x08).
//
// The root depends on privilege. Administrator (effective uid 0): the
// HKEY_LOCAL_MACHINE value "RootPath" of "SOFTWARE\Halvern\QOR\Logging",
// else the "Common AppData" shell folder value, else /var/log. Other users:
// the same values below HKEY_CURRENT_USER ("Local AppData"), else
// $XDG_STATE_HOME, else ~/.local/state. There is no low-integrity kind on
// this platform. A root that is not an absolute path counts as absent, so a
// mistyped value cannot make the log follow the working directory.
//
// Administrators' directories and files get modes 0755/0644, or 0700/0600
// with option 0x20, applied exactly; other users get the same modes narrowed
// by their umask.
//
// Identity, framework and component become path components; one that could
// leave the directory ("..", "/", a NUL) leaves the process without a log
// file.
//
// Not thread-safe: the logger calls it under its lock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "logging/file_system_path.h"

class Registry;

namespace HvQorLogging {

class FileContextBase {
 public:
  enum class RootKind { kAdministrator = 0, kUser = 1 };

  FileContextBase(std::unique_ptr<FileSystem::Path> path, std::string identity, std::string framework,
                  std::string component, uint32_t options);
  virtual ~FileContextBase();
  FileContextBase(const FileContextBase&) = delete;
  FileContextBase& operator=(const FileContextBase&) = delete;

  // Once per context (later calls return false without trying again): tests
  // privilege, chooses modes and root, builds the directory.
  virtual bool Initialize();
  // Deletes the file with index `count`, then moves each lower one up by one.
  virtual void Rotate(int count);
  // Creates the log directory below `root`; on success sets the file prefix.
  virtual bool BuildDirectory(const std::string& root, bool is_administrator);
  // Index 0: "<prefix>.log"; n > 0: "<prefix>.<n>.log". Empty without prefix.
  virtual std::string GetFilePath(int index) const;

  // The log root of `kind` as configured (nothing is created).
  static std::string LogRoot(RootKind kind, Registry& registry);

  const std::string& file_prefix() const { return file_prefix_; }
  const std::string& directory() const { return directory_; }
  bool is_administrator() const { return is_administrator_; }
  const FileSystem::Permissions& permissions() const { return permissions_; }

 protected:
  // A registry for one configuration read. A fresh one each time: the logger
  // reads rarely, and a database connection must not be carried across fork.
  virtual std::unique_ptr<Registry> OpenRegistry() const;
  // Makes the log directory again (after someone removed it).
  bool RebuildDirectory();

  std::unique_ptr<FileSystem::Path> path_;
  const std::string identity_;
  const std::string framework_;
  const std::string component_;
  const uint32_t options_;
  bool initialized_ = false;
  std::string file_prefix_;
  std::string directory_;
  // Where the part below the root begins in directory_.
  size_t directory_start_ = 0;
  FileSystem::Permissions permissions_;
  bool is_administrator_ = false;
};

}  // namespace HvQorLogging
