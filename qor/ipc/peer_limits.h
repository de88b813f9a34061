// What the clients of one server may hold, counted per uid: connections, and
// bytes of partly received frames and unanswered requests. Root (uid 0) is
// not counted against either: the unprivileged uids together stay below the
// process's descriptor limit, which leaves root room to connect.
//
// Thread-safe; shared by the server and its connections.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <unordered_map>

#include "platform/mutex.h"

namespace qor_ipc {

class PeerLimits {
 public:
  // `user_connections`: connections of all unprivileged uids together.
  PeerLimits(size_t per_uid_connections, size_t user_connections, size_t per_uid_bytes);

  // The connections the unprivileged uids may hold together in a process
  // whose soft descriptor limit is `descriptors`.
  static size_t UserConnectionsFor(size_t descriptors);

  // Counts a new connection of `uid`; false (nothing counted) when the uid or
  // the unprivileged uids together are at their limit.
  bool Admit(uid_t uid) EXCLUDES(mu_);
  void Leave(uid_t uid) EXCLUDES(mu_);
  size_t Connections(uid_t uid) EXCLUDES(mu_);

  // Counts `bytes` more held for `uid`; false (nothing counted) past the limit.
  bool Charge(uid_t uid, size_t bytes) EXCLUDES(mu_);
  void Uncharge(uid_t uid, size_t bytes) EXCLUDES(mu_);

 private:
  struct Usage {
    size_t connections = 0;
    size_t bytes = 0;
  };

  const size_t per_uid_connections_;
  const size_t user_connections_;
  const size_t per_uid_bytes_;
  platform::Mutex mu_;
  std::unordered_map<uid_t, Usage> usage_ GUARDED_BY(mu_);  // unprivileged uids only
  size_t user_total_ GUARDED_BY(mu_) = 0;
};

}  // namespace qor_ipc
