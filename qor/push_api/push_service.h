// The registrations of the push library. Each registration keeps one
// Server-Sent Events connection to the settings server's push stream for its
// user, on a thread of its own, and hands the events to its callback:
// "pns_id" as kind 1, "message" as kind 0.
//
// Connection: GET <stream URL> with the user's bearer token (from the
// client-authentication library), the machine's TLS rules (server/tls_config.h). A
// connection that drops, or stays silent for longer than three keep-alive
// periods, is made again after a back-off that doubles from 1 s to 5 min
// with jitter (a random delay in the upper half), reset once a connection
// has delivered its first event. A 401 asks the authentication library for a
// new token once and reconnects at once; a 401 after that, or a 403, counts
// as refused: Register answers QOR_PUSH_API_REFUSED when the first
// connection is refused, later refusals back off like failures.
//
// Thread rules: Register and Unregister may be called from any thread,
// including from inside a callback. Callbacks of one registration run one at
// a time on its thread, without any lock of this library held. Unregister
// waits until that thread has ended (unless called from it), so the caller
// may free the callback's context as soon as Unregister returns.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/mutex.h"
#include "qor/push_api/hv_qor_push_api.h"

namespace qor_push {

class PushConnection;

class PushService {
 public:
  PushService() = default;
  ~PushService();
  PushService(const PushService&) = delete;
  PushService& operator=(const PushService&) = delete;

  // The service of the library; never destroyed.
  static PushService& Instance();

  // Result codes of hv_qor_push_api.h; *handle is 0 on failure.
  uint32_t Register(std::string_view identity, std::string_view user, QorPushApi_Callback callback, void* context,
                    uint32_t* handle) EXCLUDES(mutex_);
  uint32_t Unregister(uint32_t handle) EXCLUDES(mutex_);
  void SetServer(std::string host, uint16_t port, std::string installation_root) EXCLUDES(mutex_);

  // Where registrations connect: the registry's "Url", else derived from the
  // server; empty when neither is known. Also the pin key.
  struct Endpoint {
    std::string url;
    std::string installation_root;
  };
  Endpoint CurrentEndpoint() EXCLUDES(mutex_);

 private:
  platform::Mutex mutex_;
  std::map<uint32_t, std::shared_ptr<PushConnection>> registrations_ GUARDED_BY(mutex_);
  uint32_t last_handle_ GUARDED_BY(mutex_) = 0;
  std::string host_ GUARDED_BY(mutex_);
  uint16_t port_ GUARDED_BY(mutex_) = 443;
  std::string installation_root_ GUARDED_BY(mutex_);
};

}  // namespace qor_push
