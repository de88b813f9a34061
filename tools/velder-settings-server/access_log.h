// One line per request, on both listeners:
//
//   2026-05-01T10:00:00.123Z 127.0.0.1:53012 GET /velder/... 200 812 1.4ms client=lab1/S-1-5-18 txid=6f1c...
//
// The time, the client and the transaction id are gathered while the request
// is handled, in a per-thread record (a connection is served by one thread from
// its request line to the last byte of its answer). A settings request without
// X-Transaction is served, and its line says so.
//
// Thread-safe: lines are written whole under a mutex.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/mutex.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace settings_server {

// What the handlers learn about the request being served on this thread.
struct RequestInfo {
  std::chrono::steady_clock::time_point start{};
  std::string client;        // machine/SID once authenticated
  std::string txid;          // X-Transaction
  bool needsTxid = false;    // a settings-protocol request, which should carry one
  size_t streamedBytes = 0;  // body bytes of a streamed answer
  bool streamed = false;
  bool dropped = false;      // the connection was dropped on purpose
};
RequestInfo& CurrentRequest();
// Starts the record of a new request on this thread.
void BeginRequest();

class AccessLog {
 public:
  // Writes to `out` (not owned; stderr by default).
  explicit AccessLog(std::FILE* out = stderr) : out_(out) {}
  void Write(const char* listener, const httplib::Request& request, const httplib::Response& response);

  // `text` with control characters and non-ASCII bytes escaped as \xNN, so a
  // request cannot forge or break log lines.
  static std::string Printable(const std::string& text);

 private:
  platform::Mutex mutex_;  // guards out_ writes
  std::FILE* out_ GUARDED_BY(mutex_);
};

}  // namespace settings_server
