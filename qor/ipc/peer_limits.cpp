#include "qor/ipc/peer_limits.h"

#include <algorithm>

#include "platform/resource_limits.h"

namespace qor_ipc {

PeerLimits::PeerLimits(size_t per_uid_connections, size_t user_connections, size_t per_uid_bytes)
    : per_uid_connections_(per_uid_connections),
      user_connections_(user_connections),
      per_uid_bytes_(per_uid_bytes) {}

size_t PeerLimits::UserConnectionsFor(size_t descriptors) {
  const size_t reserved = resource_limits::kDescriptorsReservedForRoot;
  const size_t available = descriptors > 2 * reserved ? descriptors - reserved : descriptors / 2;
  return std::min(resource_limits::kMaxUserConnections, available);
}

bool PeerLimits::Admit(uid_t uid) {
  if (uid == 0) return true;
  platform::MutexLock lock(mu_);
  Usage& usage = usage_[uid];
  if (usage.connections >= per_uid_connections_ || user_total_ >= user_connections_) {
    if (usage.connections == 0 && usage.bytes == 0) usage_.erase(uid);
    return false;
  }
  ++usage.connections;
  ++user_total_;
  return true;
}

void PeerLimits::Leave(uid_t uid) {
  if (uid == 0) return;
  platform::MutexLock lock(mu_);
  auto it = usage_.find(uid);
  if (it == usage_.end() || it->second.connections == 0) return;
  --it->second.connections;
  --user_total_;
  if (it->second.connections == 0 && it->second.bytes == 0) usage_.erase(it);
}

size_t PeerLimits::Connections(uid_t uid) {
  platform::MutexLock lock(mu_);
  auto it = usage_.find(uid);
  return it == usage_.end() ? 0 : it->second.connections;
}

bool PeerLimits::Charge(uid_t uid, size_t bytes) {
  if (uid == 0) return true;
  platform::MutexLock lock(mu_);
  Usage& usage = usage_[uid];
  if (usage.bytes + bytes > per_uid_bytes_) return false;
  usage.bytes += bytes;
  return true;
}

void PeerLimits::Uncharge(uid_t uid, size_t bytes) {
  if (uid == 0) return;
  platform::MutexLock lock(mu_);
  auto it = usage_.find(uid);
  if (it == usage_.end()) return;
  it->second.bytes -= std::min(bytes, it->second.bytes);
  if (it->second.connections == 0 && it->second.bytes == 0) usage_.erase(it);
}

}  // namespace qor_ipc
