#include "qor/ipc/channel_registry.h"

namespace qor_ipc {
namespace {

std::string Key(const std::string& identity, const std::string& channel) {
  std::string key = identity;
  key.push_back('\0');
  key += channel;
  return key;
}

}  // namespace

ChannelRegistry& ChannelRegistry::Instance() {
  // Never destroyed: server threads may still look channels up while the
  // process runs its exit handlers.
  static ChannelRegistry* registry = new ChannelRegistry();
  return *registry;
}

std::string ChannelRegistry::NewChannelName(pid_t client_pid) {
  platform::MutexLock lock(mu_);
  return std::to_string(client_pid) + "." + std::to_string(++counter_);
}

void ChannelRegistry::Add(const std::string& identity, const std::string& channel,
                          const std::shared_ptr<ServerConnection>& c) {
  platform::MutexLock lock(mu_);
  channels_[Key(identity, channel)] = c;
}

void ChannelRegistry::Remove(const std::string& identity, const std::string& channel) {
  platform::MutexLock lock(mu_);
  channels_.erase(Key(identity, channel));
}

std::shared_ptr<ServerConnection> ChannelRegistry::Find(const std::string& identity, const std::string& channel) {
  platform::MutexLock lock(mu_);
  auto it = channels_.find(Key(identity, channel));
  return it == channels_.end() ? nullptr : it->second.lock();
}

}  // namespace qor_ipc
