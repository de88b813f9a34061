// Request statistics: how many requests of each message type each originator
// sent, and how long they took, while collection is switched on.
//
// The settings manager owns one Statistics. Every request and every server
// base update is measured by a RequestTimer, which records into the session
// that was current when it began. The system hive switches collection on and
// off (SetCollecting) after each recomputation of its settings and asks for a
// PeriodicReport when it flushes; both hand back reports as JSON objects that
// the hive appends to the "statistics" array of its local document:
//
//   {"by_type": {"GetValue": {"total_count": 3, "total_duration": 5,
//                             "a": {"count": 2, "duration": 4}, ...}, ...},
//    "by_originator": {"a": {"total_count": 2, "total_duration": 4,
//                            "GetValue": {"count": 2, "duration": 4}}, ...},
//    "start": "2024-5-1 9:3:7", "finish": "2024-5-1 10:3:7"}
//
// Threads: every operation may be called from any thread. A session is shared
// by the Statistics and the timers that captured it, so stopping collection
// while timers are still open is safe: their late records go to the stopped
// session and are dropped with it. Lock order: Statistics::mutex_ is never held
// while a Session's lock is taken.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "platform/mutex.h"
#include "store/statistics_sink.h"

class Statistics : public StatisticsSink {
 public:
  // The type recorded for a server base update (message types end at 17).
  static constexpr uint32_t kBaseUpdateType = 100;
  // A report is due when this much monotonic time passed since the last one.
  static constexpr uint64_t kReportIntervalNs = 60'000'000'000;
  // Originators are the names clients give themselves, so any client can
  // make up new ones: a session keeps this many, longer names are cut, and
  // every further originator is counted under kOtherOriginators. A report
  // therefore stays a few tens of kilobytes however many clients came.
  static constexpr size_t kMaxOriginators = 32;
  static constexpr size_t kMaxOriginatorBytes = 64;
  static constexpr std::string_view kOtherOriginators = "(other)";

  // Monotonic nanoseconds. Durations need sub-millisecond resolution (a
  // 0.2 ms request counts as 1 ms), which the millisecond tick of
  // platform::Clock cannot give, so the source is steady_clock unless a test
  // passes another.
  using MonotonicSource = uint64_t (*)();
  static uint64_t SteadyNowNs();

  // One period of collection.
  class Session {
   public:
    // `start` in 100-nanosecond units since 1970 (wall clock).
    explicit Session(int64_t start);
    virtual ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Adds one request of `type` from `originator` that took `duration_ms`.
    // An originator that is not UTF-8 is counted under "" (as any text that
    // cannot be converted), so a report can always be written out as JSON;
    // the number and length of originators are bounded (see kMaxOriginators).
    // Counts and durations stop at their maximum instead of wrapping.
    void Record(uint32_t type, std::string_view originator, uint64_t duration_ms) EXCLUDES(mutex_);

    // The report object described above, with `finish` (100-nanosecond units
    // since 1970) as its end. Types without a name of their own share
    // "Unknown" and are summed there.
    nlohmann::json Report(int64_t finish) const EXCLUDES(mutex_);

    int64_t start() const { return start_; }

   private:
    struct Entry {
      uint32_t count = 0;
      uint64_t duration = 0;  // milliseconds
    };

    const int64_t start_;
    // Guards table_.
    mutable platform::Mutex mutex_;
    // type -> originator -> entry; ordered by type, then originator.
    std::map<uint32_t, std::map<std::string, Entry, std::less<>>> table_ GUARDED_BY(mutex_);
    // The originators named in table_, at most kMaxOriginators.
    std::set<std::string, std::less<>> originators_ GUARDED_BY(mutex_);
  };

  explicit Statistics(MonotonicSource monotonic = &SteadyNowNs);
  virtual ~Statistics();
  Statistics(const Statistics&) = delete;
  Statistics& operator=(const Statistics&) = delete;

  // The running session, or null while collection is off.
  std::shared_ptr<Session> CurrentSession() const EXCLUDES(mutex_);

  // Starts a session when `on` and none runs; stops the running one when not
  // `on`. Returns the stopped session's final report, otherwise null.
  nlohmann::json SetCollecting(bool on) override EXCLUDES(mutex_);

  // Stops collection; the final report, or null when no session ran.
  nlohmann::json Stop() EXCLUDES(mutex_);

  // The running session's cumulative report when at least a minute passed
  // since the last one (the session keeps counting); otherwise null.
  nlohmann::json PeriodicReport() override EXCLUDES(mutex_);

  // A RequestTimer of kBaseUpdateType.
  std::unique_ptr<Measurement> MeasureBaseUpdate(std::string_view originator) const override;

  MonotonicSource monotonic() const { return monotonic_; }

  // The name of a message type in reports: the message names, "base_update"
  // for kBaseUpdateType, "Unknown" for the rest.
  static std::string_view TypeName(uint32_t type);

  // "%d-%d-%d %d:%d:%d" in local time (no zero padding) of a time in
  // 100-nanosecond units since 1970.
  static std::string FormatLocalTime(int64_t time);

 private:
  const MonotonicSource monotonic_;
  // Guards session_ and last_report_ns_.
  mutable platform::Mutex mutex_;
  std::shared_ptr<Session> session_ GUARDED_BY(mutex_);
  uint64_t last_report_ns_ GUARDED_BY(mutex_);
};
