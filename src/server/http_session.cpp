#include "server/http_session.h"

#include <curl/curl.h>
#include <poll.h>

#include <algorithm>
#include <chrono>

#include "logging/log.h"
#include "server/http_request.h"

namespace {

// Longest sleep of the driver: a stop event that stays set is no longer
// polled (it would wake the driver at once, for ever), so it is looked at
// again this often to see whether it was reset.
constexpr int kMaxPollMs = 1000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool InitCurlOnce() {
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

}  // namespace

struct HttpSession::Driver {
  CURLM* multi = nullptr;
  std::vector<HttpRequest*> active;  // handed over and not yet completed

  ~Driver() {
    if (multi) curl_multi_cleanup(multi);
  }
};

std::unique_ptr<HttpSession> HttpSession::OpenSession(const std::string& user_agent,
                                                      const platform::ManualResetEvent* stop_event) {
  if (!InitCurlOnce()) {
    HV_LOG_ERROR("curl_global_init failed");
    return nullptr;
  }
  std::unique_ptr<HttpSession> session(new HttpSession(user_agent, stop_event));
  session->driver_->multi = curl_multi_init();
  if (!session->driver_->multi) {
    HV_LOG_ERROR("curl_multi_init failed");
    return nullptr;
  }
  session->thread_ = std::thread([s = session.get()] { s->Run(); });
  return session;
}

HttpSession::HttpSession(std::string user_agent, const platform::ManualResetEvent* stop_event)
    : user_agent_(std::move(user_agent)), stop_event_(stop_event), driver_(std::make_unique<Driver>()) {}

HttpSession::~HttpSession() { CloseSession(); }

void HttpSession::CloseSession() {
  platform::MutexLock close_lock(close_mutex_);
  if (!thread_.joinable()) return;
  {
    platform::MutexLock lock(mutex_);
    closing_ = true;
  }
  Wake();
  thread_.join();
}

bool HttpSession::Submit(HttpRequest* request) {
  {
    platform::MutexLock lock(mutex_);
    if (closing_) return false;
    submitted_.push_back(request);
  }
  Wake();
  return true;
}

void HttpSession::Wake() { curl_multi_wakeup(driver_->multi); }

// The driver: takes started requests into the multi handle, ends cancelled
// and idle ones, lets libcurl move the data, and completes the finished ones.
// A request is completed outside every lock of the session, and after its
// handle left the multi handle, so its owner may destroy it as soon as the
// completion has returned.
void HttpSession::Run() {
  CURLM* multi = driver_->multi;
  std::vector<HttpRequest*>& active = driver_->active;

  // Takes `request` out of the multi handle and completes it with `error`.
  auto abort = [&](HttpRequest* request, uint32_t error, const char* function) {
    curl_multi_remove_handle(multi, request->curl_handle());
    std::erase(active, request);
    request->Abort(error, function);
    request->Complete();
  };

  for (;;) {
    std::vector<HttpRequest*> incoming;
    bool closing;
    {
      platform::MutexLock lock(mutex_);
      incoming.swap(submitted_);
      closing = closing_;
    }
    for (HttpRequest* request : incoming) {
      active.push_back(request);
      if (curl_multi_add_handle(multi, request->curl_handle()) != CURLM_OK) {
        abort(request, http_error::kInternalError, "curl_multi_add_handle");
      }
    }
    if (closing) {
      while (!active.empty()) abort(active.front(), http_error::kShutdown, "AsyncGeneric");
      return;
    }

    const bool stopped = stop_event_ != nullptr && stop_event_->IsSet();
    const int64_t now = NowMs();
    int64_t next_deadline = 0;
    for (size_t i = 0; i < active.size();) {
      HttpRequest* request = active[i];
      int64_t deadline = 0;
      if (stopped || request->cancel_requested_.load()) {
        abort(request, http_error::kOperationCancelled, "AsyncGeneric");
      } else if (request->IdleTimedOut(now, deadline)) {
        abort(request, http_error::kTimeout, "");
      } else {
        if (deadline != 0 && (next_deadline == 0 || deadline < next_deadline)) next_deadline = deadline;
        ++i;
      }
    }

    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      void* owner = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
      auto* request = static_cast<HttpRequest*>(owner);
      const CURLcode code = message->data.result;
      curl_multi_remove_handle(multi, message->easy_handle);
      if (request->OnTransferDone(code)) {
        if (curl_multi_add_handle(multi, request->curl_handle()) == CURLM_OK) continue;  // sent again
        request->Abort(http_error::kInternalError, "curl_multi_add_handle");
      }
      std::erase(active, request);
      request->Complete();
    }

    int timeout = stopped ? kMaxPollMs : 60000;
    if (next_deadline != 0) timeout = static_cast<int>(std::clamp<int64_t>(next_deadline - NowMs(), 0, timeout));
    curl_waitfd stop_fd{};
    unsigned stop_fds = 0;
    if (stop_event_ != nullptr && !stopped) {
      stop_fd.fd = stop_event_->fd();
      stop_fd.events = CURL_WAIT_POLLIN;
      stop_fds = 1;
    }
    curl_multi_poll(multi, stop_fds ? &stop_fd : nullptr, stop_fds, timeout, nullptr);
  }
}
