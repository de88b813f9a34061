// The push streams (Server-Sent Events) of connected clients. Each stream has
// its own queue of event texts; the connection's thread waits on it and writes
// what arrives, so a publisher never waits for a slow client. A client (machine,
// SID) may have several streams; a message to the client goes to all of them,
// in the order it was published.
//
// Thread-safe: publishers run on request and admin threads, each stream is
// read by its connection's thread. Lock order: the hub's mutex before a
// stream's mutex.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "platform/mutex.h"
#include "settings_database.h"

namespace settings_server {

class PushStream {
 public:
  enum class Next {
    kEvent,      // `text` holds an event (or the keep-alive comment) to write
    kIdle,       // nothing within the wait; the caller may check its connection
    kClosed,     // the hub closed the stream (stop, client disabled, queue overrun)
  };
  // Waits at most `wait` for the next text to write. A keep-alive comment is
  // returned when nothing was written for the hub's keep-alive interval.
  Next Wait(std::string& text, std::chrono::milliseconds wait);
  const ClientKey& client() const { return client_; }

 private:
  friend class PushHub;
  PushStream(ClientKey client, std::chrono::milliseconds keepAlive);
  // False when the stream is closed or its queue overran (it is then closed).
  bool Push(std::string text);
  void Close();

  const ClientKey client_;
  const std::chrono::milliseconds keepAlive_;
  platform::Mutex mutex_;  // guards every member below
  platform::CondVar wake_;
  std::deque<std::string> queue_ GUARDED_BY(mutex_);
  bool closed_ GUARDED_BY(mutex_) = false;
  std::chrono::steady_clock::time_point lastWrite_ GUARDED_BY(mutex_);
};

class PushHub {
 public:
  // A stream whose client falls this many events behind is closed; the
  // client reconnects and fetches the current settings anyway.
  static constexpr size_t kMaxQueuedEvents = 1000;

  explicit PushHub(std::chrono::milliseconds keepAlive);

  // A new stream; its first event assigns `pnsId`. Null once the hub is shut down.
  std::shared_ptr<PushStream> Open(const ClientKey& client, const std::string& pnsId);
  // Forgets a stream whose connection ended.
  void Remove(const std::shared_ptr<PushStream>& stream);
  // Queues a push message (compact JSON, one line) to every stream of the
  // client; returns how many streams it reached.
  size_t Publish(const ClientKey& client, const nlohmann::json& message);
  // Ends every stream of the client (it was disabled or removed).
  void CloseClient(const ClientKey& client);
  size_t StreamCount() const;
  size_t StreamCount(const ClientKey& client) const;
  // Closes every stream; later Opens fail.
  void Shutdown();
  // Waits until every stream was removed, at most `limit`; true when they were.
  bool WaitUntilEmpty(std::chrono::milliseconds limit);

  // The event texts on the wire.
  static std::string PnsIdEvent(const std::string& pnsId);
  static std::string MessageEvent(const nlohmann::json& message);
  static constexpr const char* kKeepAlive = ": keep-alive\n\n";

 private:
  const std::chrono::milliseconds keepAlive_;
  mutable platform::Mutex mutex_;  // guards streams_ and shutDown_; taken before a stream's
  platform::CondVar removed_;
  std::multimap<ClientKey, std::shared_ptr<PushStream>> streams_ GUARDED_BY(mutex_);
  bool shutDown_ GUARDED_BY(mutex_) = false;
};

}  // namespace settings_server
