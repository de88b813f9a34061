#include "manager/statistics.h"

#include <fmt/format.h>

#include <chrono>
#include <ctime>
#include <limits>

#include "manager/request_timer.h"
#include "platform/clock.h"
#include "platform/utf.h"

namespace {

constexpr int64_t kHundredNsPerMs = 10'000;
constexpr int64_t kHundredNsPerSecond = 10'000'000;

int64_t WallNow() { return platform::CurrentClock().NowMilliseconds() * kHundredNsPerMs; }

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

struct Totals {
  uint64_t count = 0;
  uint64_t duration = 0;

  void Add(uint64_t more_count, uint64_t more_duration) {
    count = SaturatingAdd(count, more_count);
    duration = SaturatingAdd(duration, more_duration);
  }
};

// outer name -> inner name -> sums: one half of a report.
using Breakdown = std::map<std::string, std::map<std::string, Totals>, std::less<>>;

nlohmann::json BreakdownToJson(const Breakdown& breakdown) {
  nlohmann::json result = nlohmann::json::object();
  for (const auto& [outer, inners] : breakdown) {
    nlohmann::json member = nlohmann::json::object();
    Totals total;
    for (const auto& [inner, sums] : inners) {
      member[inner] = {{"count", sums.count}, {"duration", sums.duration}};
      total.Add(sums.count, sums.duration);
    }
    // Totals go in last: an originator that happens to be called
    // "total_count" must not leave a reader without the numbers.
    member["total_count"] = total.count;
    member["total_duration"] = total.duration;
    result[outer] = std::move(member);
  }
  return result;
}

// A base update measured for the hive, which knows only the sink.
class BaseUpdateMeasurement final : public StatisticsSink::Measurement {
 public:
  BaseUpdateMeasurement(const Statistics* statistics, std::string_view originator)
      : timer_(statistics, Statistics::kBaseUpdateType, originator) {}

 private:
  RequestTimer timer_;
};

}  // namespace

Statistics::Session::Session(int64_t start) : start_(start) {}

Statistics::Session::~Session() = default;

void Statistics::Session::Record(uint32_t type, std::string_view originator, uint64_t duration_ms) {
  if (!platform::IsValidUtf8(originator)) originator = {};
  if (originator.size() > kMaxOriginatorBytes) {
    // Cut before a character, never inside one.
    size_t end = kMaxOriginatorBytes;
    while (end > 0 && (static_cast<unsigned char>(originator[end]) & 0xC0) == 0x80) --end;
    originator = originator.substr(0, end);
  }
  platform::MutexLock lock(mutex_);
  if (!originators_.contains(originator)) {
    if (originators_.size() < kMaxOriginators) {
      originators_.emplace(originator);
    } else {
      originator = kOtherOriginators;
    }
  }
  auto& by_originator = table_[type];
  auto it = by_originator.find(originator);
  if (it == by_originator.end()) it = by_originator.emplace(std::string(originator), Entry{}).first;
  Entry& entry = it->second;
  if (entry.count < std::numeric_limits<uint32_t>::max()) ++entry.count;
  entry.duration = SaturatingAdd(entry.duration, duration_ms);
}

nlohmann::json Statistics::Session::Report(int64_t finish) const {
  Breakdown by_type;
  Breakdown by_originator;
  {
    platform::MutexLock lock(mutex_);
    for (const auto& [type, entries] : table_) {
      // Several types may share a name ("Unknown"): their entries add up.
      auto& of_type = by_type[std::string(TypeName(type))];
      for (const auto& [originator, entry] : entries) {
        of_type[originator].Add(entry.count, entry.duration);
        by_originator[originator][std::string(TypeName(type))].Add(entry.count, entry.duration);
      }
    }
  }
  return {
      {"by_type", BreakdownToJson(by_type)},
      {"by_originator", BreakdownToJson(by_originator)},
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
  platform::MutexLock lock(mutex_);
  return session_;
}

nlohmann::json Statistics::SetCollecting(bool on) {
  if (!on) return Stop();
  platform::MutexLock lock(mutex_);
  if (!session_) {
    session_ = std::make_shared<Session>(WallNow());
    last_report_ns_ = monotonic_();
  }
  return nullptr;
}

nlohmann::json Statistics::Stop() {
  std::shared_ptr<Session> session;
  {
    platform::MutexLock lock(mutex_);
    session = std::move(session_);
    session_.reset();
  }
  if (!session) return nullptr;
  return session->Report(WallNow());
}

nlohmann::json Statistics::PeriodicReport() {
  std::shared_ptr<Session> session;
  {
    platform::MutexLock lock(mutex_);
    if (!session_) return nullptr;
    const uint64_t now = monotonic_();
    if (now < last_report_ns_ || now - last_report_ns_ < kReportIntervalNs) return nullptr;
    last_report_ns_ = now;
    session = session_;
  }
  return session->Report(WallNow());
}

std::unique_ptr<StatisticsSink::Measurement> Statistics::MeasureBaseUpdate(std::string_view originator) const {
  return std::make_unique<BaseUpdateMeasurement>(this, originator);
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
  const time_t t = static_cast<time_t>(time / kHundredNsPerSecond);
  struct tm local {};
  if (!::localtime_r(&t, &local)) return {};
  return fmt::format("{}-{}-{} {}:{}:{}", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec);
}
