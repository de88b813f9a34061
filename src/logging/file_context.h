// The log file of a process: opened lazily, appended to under a lock shared
// with every other process writing it, capped in size by rotating through
// three files, and the logger's configuration from the registry.
//
// Configuration values (HKEY_LOCAL_MACHINE, REG_DWORD) are looked up in
// three keys, the most specific first:
//   SOFTWARE\Halvern\QOR\Logging\<framework>\<component>
//   SOFTWARE\Halvern\QOR\Logging\<framework>
//   SOFTWARE\Halvern\QOR\Logging
// In the first two a stored 0xFFFFFFFF counts as absent; a value of another
// type counts as absent everywhere. "LogLevel" (default: the level given at
// initialisation), "LogMaxSizeKB" (default 50; below 3 bytes becomes 3),
// "DebugOutputLogging" (default 0).
//
// Every append re-measures the file under the lock, so a rotation done by
// another process, or a file removed by someone, is noticed at the next line.
//
// Created and used by the logger, under its lock: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "logging/file_context_base.h"
#include "logging/log_file_lock.h"

namespace HvQorLogging {

class FileContext : public FileContextBase {
 public:
  // How long an append waits for another process's lock before its line is
  // dropped.
  static constexpr int kLockTimeoutMs = 500;
  static constexpr uint32_t kDefaultMaxSizeKB = 50;
  static constexpr int kRotationCount = 2;

  FileContext(std::unique_ptr<FileSystem::Path> path, std::string identity, std::string framework,
              std::string component, int default_level, uint32_t options);
  ~FileContext() override;

  // Called at every configuration refresh: re-reads the size limit; the first
  // time also builds the log directory and the lock. True only on that first
  // call, and only when it succeeded.
  virtual bool Open();
  // Appends one finished line; dropped when the lock is not obtained in time
  // or no file can be opened.
  virtual void AppendLine(std::string_view line);
  virtual void Flush();
  virtual int GetLogLevel() const;
  virtual bool GetDebugOutput() const;
  // Makes the file ready for the next line: open, narrow, below the size
  // limit, still the current file. Call with the lock held.
  virtual void EnsureFileReady();
  // Renames `path` aside and deletes it.
  virtual void DeleteLogFile(const std::string& path);
  // The lock file: the file prefix + ".lock".
  virtual std::string GetLockName() const;

  // In a child process after fork (the logger's lock held).
  void DropAfterFork();

  uint64_t size_limit() const { return size_limit_; }

 protected:
  // The configuration value `name` from the three keys, or nothing.
  bool LookupDword(const char* name, uint32_t& value) const;

 private:
  bool OpenCurrentFile();
  // Takes the lock; a lock file gone with its directory is made again.
  bool Lock();

  const int default_level_;
  std::unique_ptr<LogFileLock> lock_;
  uint64_t size_limit_ = uint64_t{kDefaultMaxSizeKB} * 1024;
  std::unique_ptr<FileSystem::File> file_;
};

}  // namespace HvQorLogging
