#include "manager/statistics.h"

#include <fmt/format.h>

#include <chrono>
#include <ctime>
#include <limits>

#include "platform/clock.h"
#include "platform/utf.h"

namespace {

constexpr int64_t kHundredNsPerMs = 10'000;
constexpr int64_t kHundredNsPerSecond = 10'000'000;

int64_t WallNow() { return platform::CurrentClock().NowMilliseconds() * kHundredNsPerMs; }

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Adds one count/duration pair into a report member, creating it as needed.
void Accumulate(nlohmann::json& member, uint64_t count, uint64_t duration) {
  if (!member.is_object()) member = {{"count", 0}, {"duration", 0}};
  member["count"] = SaturatingAdd(member["count"].get<uint64_t>(), count);
  member["duration"] = SaturatingAdd(member["duration"].get<uint64_t>(), duration);
}

struct Totals {
  uint64_t count = 0;
  uint64_t duration = 0;
};

}  // namespace

Statistics::Session::Session(int64_t start) : start_(start) {}

Statistics::Session::~Session() = default;

void Statistics::Session::Record(uint32_t type, std::string_view originator, uint64_t duration_ms) {
  if (!platform::IsValidUtf8(originator)) originator = {};
  std::lock_guard lock(mutex_);
  auto& by_originator = table_[type];
  auto it = by_originator.find(originator);
  if (it == by_originator.end()) it = by_originator.emplace(std::string(originator), Entry{}).first;
  Entry& entry = it->second;
  if (entry.count < std::numeric_limits<uint32_t>::max()) ++entry.count;
  entry.duration = SaturatingAdd(entry.duration, duration_ms);
}

nlohmann::json Statistics::Session::Report(int64_t finish) const {
  nlohmann::json by_type = nlohmann::json::object();
  nlohmann::json by_originator = nlohmann::json::object();
  std::map<std::string, Totals, std::less<>> type_totals;
  std::map<std::string, Totals, std::less<>> originator_totals;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [type, entries] : table_) {
      const std::string name(TypeName(type));
      Totals& type_total = type_totals[name];
      for (const auto& [originator, entry] : entries) {
        Accumulate(by_type[name][originator], entry.count, entry.duration);
        Accumulate(by_originator[originator][name], entry.count, entry.duration);
        type_total.count = SaturatingAdd(type_total.count, entry.count);
        type_total.duration = SaturatingAdd(type_total.duration, entry.duration);
        Totals& originator_total = originator_totals[originator];
        originator_total.count = SaturatingAdd(originator_total.count, entry.count);
        originator_total.duration = SaturatingAdd(originator_total.duration, entry.duration);
      }
    }
  }
  // Totals go in last: an originator that happens to be called "total_count"
  // must not leave a reader without the numbers.
  for (const auto& [name, total] : type_totals) {
    by_type[name]["total_count"] = total.count;
    by_type[name]["total_duration"] = total.duration;
  }
  for (const auto& [originator, total] : originator_totals) {
    by_originator[originator]["total_count"] = total.count;
    by_originator[originator]["total_duration"] = total.duration;
  }
  return {
      {"by_type", std::move(by_type)},
      {"by_originator", std::move(by_originator)},
      {"start", FormatLocalTime(start_)},
      {"finish", FormatLocalTime(finish)},
  };
}

uint64_t Statistics::SteadyNowNs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

Statistics::Statistics(MonotonicSource monotonic)
    : monotonic_(monotonic ? monotonic : &SteadyNowNs), last_report_ns_(monotonic_()) {}

Statistics::~Statistics() = default;

std::shared_ptr<Statistics::Session> Statistics::CurrentSession() const {
  std::lock_guard lock(mutex_);
  return session_;
}

nlohmann::json Statistics::SetCollecting(bool on) {
  if (!on) return Stop();
  std::lock_guard lock(mutex_);
  if (!session_) {
    session_ = std::make_shared<Session>(WallNow());
    last_report_ns_ = monotonic_();
  }
  return nullptr;
}

nlohmann::json Statistics::Stop() {
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mutex_);
    session = std::move(session_);
    session_.reset();
  }
  if (!session) return nullptr;
  return session->Report(WallNow());
}

nlohmann::json Statistics::PeriodicReport() {
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mutex_);
    if (!session_) return nullptr;
    const uint64_t now = monotonic_();
    if (now < last_report_ns_ || now - last_report_ns_ < kReportIntervalNs) return nullptr;
    last_report_ns_ = now;
    session = session_;
  }
  return session->Report(WallNow());
}

std::string_view Statistics::TypeName(uint32_t type) {
  switch (type) {
    case 1: return "AccessCheck";
    case 2: return "GetValue";
    case 3: return "SetValue";
    case 4: return "DeleteValue";
    case 5: return "GetMetaData";
    case 7: return "Enumerate";
    case 8: return "EnumerateUsers";
    case 9: return "Subscribe";
    case 10: return "Unsubscribe";
    case 11: return "UnsubscribeAll";
    case 12: return "Synchronize";
    case 13: return "CheckConnected";
    case 14: return "Response";
    case 15: return "Notification";
    case 16: return "NotificationConstraints";
    case kBaseUpdateType: return "base_update";
    default: return "Unknown";  // also 6 (SetMetaData) and 17 (Logout), which have no name
  }
}

std::string Statistics::FormatLocalTime(int64_t time) {
  // Floor division, so that times before 1970 still name the right second.
  int64_t seconds = time / kHundredNsPerSecond;
  if (time % kHundredNsPerSecond < 0) --seconds;
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  if (!::localtime_r(&t, &local)) return {};
  return fmt::format("{}-{}-{} {}:{}:{}", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec);
}
