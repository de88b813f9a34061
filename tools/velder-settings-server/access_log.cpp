#include "access_log.h"

#include <httplib.h>
#include <fmt/format.h>

#include <ctime>

namespace settings_server {

RequestInfo& CurrentRequest() {
  thread_local RequestInfo info;
  return info;
}

void BeginRequest() {
  RequestInfo& info = CurrentRequest();
  info = RequestInfo{};
  info.start = std::chrono::steady_clock::now();
}

std::string AccessLog::Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7f || c == '\\' || c == ' ')
      out += fmt::format("\\x{:02x}", c);
    else
      out += static_cast<char>(c);
  }
  return out;
}

void AccessLog::Write(const char* listener, const httplib::Request& request, const httplib::Response& response) {
  RequestInfo& info = CurrentRequest();
  const auto now = std::chrono::system_clock::now();
  const double ms = info.start == std::chrono::steady_clock::time_point{}
                        ? 0.0
                        : std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - info.start)
                              .count();
  size_t bytes = response.body.size();
  if (info.streamed) bytes = info.streamedBytes;
  else if (response.content_length_ > 0) bytes = response.content_length_;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  std::string txid = info.txid.empty() ? "-" : Printable(info.txid);
  if (info.txid.empty() && info.needsTxid) txid += " (no X-Transaction)";
  const std::string target = request.target.empty() ? request.path : request.target;
  const std::string line =
      fmt::format("{}.{:03}Z {} {}:{} {} {} {} {} {:.1f}ms client={} txid={}{}\n", stamp, millis, listener,
                  request.remote_addr, request.remote_port, Printable(request.method), Printable(target),
                  info.dropped ? 0 : response.status, bytes, ms, info.client.empty() ? "-" : Printable(info.client),
                  txid, info.dropped ? " (dropped)" : "");
  platform::MutexLock lock(mutex_);
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
}

}  // namespace settings_server
