// The HTTP session: one libcurl multi handle and the one thread that drives
// every transfer of the requests created on it (server/http_request.h).
//
//   auto session = HttpSession::OpenSession("QOR VELDER/2.1.4 (Linux)", &stop_event);
//   auto request = HttpRequest::Create(*session);
//   ...                                   // configure, Start, wait, read
//   session->CloseSession();              // or let the destructor do it
//
// The driver thread sleeps in curl_multi_poll on the transfers' sockets, the
// session's wake-up (a request started or cancelled) and the stop event, so a
// cancel or a stop ends a transfer at once rather than at libcurl's next
// progress tick. Connections to a server are kept alive and reused by later
// requests of the same session (not by pinned ones, see HttpRequest).
//
// When the stop event is set, every running transfer ends as cancelled
// (12017) and so does every request started while it stays set.
//
// Threads: OpenSession, CloseSession and the destructor on the owner's
// thread; everything else is called by HttpRequest from any thread.
// Completions of requests run on the driver thread.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/manual_reset_event.h"
#include "platform/mutex.h"

class HttpRequest;

class HttpSession {
 public:
  // Opens a session sending `user_agent` with every request. `stop_event`
  // (optional, borrowed, must outlive the session) cancels every running
  // transfer while it is set. Null when libcurl cannot be set up.
  static std::unique_ptr<HttpSession> OpenSession(const std::string& user_agent,
                                                  const platform::ManualResetEvent* stop_event = nullptr);

  // Closes the session (CloseSession).
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Ends every transfer still running as shut down (12012, classified
  // Cancelled), calls their completions, stops the driver thread and frees
  // the connections. Returns only when no completion can run any more.
  // Requests started afterwards finish at once with 12012. Idempotent.
  void CloseSession();

  const std::string& user_agent() const { return user_agent_; }

 private:
  friend class HttpRequest;
  struct Driver;

  HttpSession(std::string user_agent, const platform::ManualResetEvent* stop_event);

  // Hands a started request to the driver thread; false once the session is
  // closed (the request is not taken).
  bool Submit(HttpRequest* request) EXCLUDES(mutex_);
  // Makes the driver look at its requests' cancel flags now.
  void Wake();

  void Run();

  const std::string user_agent_;
  const platform::ManualResetEvent* const stop_event_;
  std::unique_ptr<Driver> driver_;  // the multi handle; used by the driver thread only

  platform::Mutex mutex_;
  std::vector<HttpRequest*> submitted_ GUARDED_BY(mutex_);  // started, not yet taken by the driver
  bool closing_ GUARDED_BY(mutex_) = false;

  platform::Mutex close_mutex_;  // serialises CloseSession calls
  std::thread thread_;      // the driver; joined by CloseSession
};
