// The process-wide table of connected channels, so that HvIPC_Send finds a
// channel by (identity, channel name) whichever server accepted it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/mutex.h"

namespace qor_ipc {

class ServerConnection;

// Thread-safe. Holds connections weakly: a closed connection is removed by its
// server, and one being torn down simply is not found.
class ChannelRegistry {
 public:
  static ChannelRegistry& Instance();

  // A channel name no other connection of this process has had: the client's
  // process id and a counter, "<pid>.<n>".
  std::string NewChannelName(pid_t client_pid);

  void Add(const std::string& identity, const std::string& channel, const std::shared_ptr<ServerConnection>& c);
  void Remove(const std::string& identity, const std::string& channel);
  std::shared_ptr<ServerConnection> Find(const std::string& identity, const std::string& channel);

 private:
  ChannelRegistry() = default;

  platform::Mutex mu_;
  uint64_t counter_ GUARDED_BY(mu_) = 0;
  // Key: identity, a NUL, channel name.
  std::map<std::string, std::weak_ptr<ServerConnection>> channels_ GUARDED_BY(mu_);
};

}  // namespace qor_ipc
