// The service's data folder: created when missing (mode 0700: the hives hold
// every user's settings) and locked for as long as one velder-host uses it,
// since two services writing the same hive files would lose each other's
// changes.
#pragma once

#include <string>

namespace host {

class DataFolder {
 public:
  static constexpr char kLockFile[] = "velder-host.lock";

  DataFolder() = default;
  // Releases the lock.
  ~DataFolder();
  DataFolder(const DataFolder&) = delete;
  DataFolder& operator=(const DataFolder&) = delete;

  // Creates `path` (and its parents) when missing and takes the lock. False
  // with a reason when it is no folder, cannot be made, or another process
  // holds the lock.
  bool Open(const std::string& path, std::string& error);

 private:
  int lock_fd_ = -1;
};

}  // namespace host
