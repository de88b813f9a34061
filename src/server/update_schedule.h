// When a hive is next synchronised with the settings server.
//
// Every outcome of an exchange is a status code, and every code asks for two
// delays: a timeout, the usual wait before the next check, which grows by 0
// to 20 percent of jitter so that machines that failed together do not come
// back together; and a back-off, the least wait, kept as a floor that only
// grows. A next check is never earlier than the floor, unless a client or the
// server asks for an exchange at once (SetDueNow).
//
// A value class without locks: the hive owns one, changes it under its lock
// and publishes the times the manager's update loop reads.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <random>

class UpdateSchedule {
 public:
  // The outcomes, stored as the last status.
  enum Status : uint32_t {
    kStatusDueNow = 0,    // local changes to upload; an upload refused for good
    kStatusUpToDate = 1,  // nothing new, or settings received after an upload
    kStatusFetched = 2,   // settings received after a fetch
    kStatusUnauthorized = 3,
    kStatusPushRefused = 4,
    kStatusNotConnected = 5,
    kStatusTooManyRequests = 6,
    kStatusFailed = 7,
    kStatusBaseRejected = 8,  // and every code above
  };

  static constexpr int64_t kDefaultPollInterval = 172800;  // 48 hours
  // A stored next check further ahead than this is not believed.
  static constexpr int64_t kMaxStoredNextCheckAhead = 604800;  // 7 days

  // The delays one code asked for: the timeout with its jitter, and the back-off.
  struct Delays {
    int64_t timeout = 0;
    int64_t backoff = 0;
  };

  // `seed` starts the jitter sequence.
  explicit UpdateSchedule(uint32_t seed);

  // Schedules the next check after an outcome `code` at `now` (seconds).
  Delays Set(uint32_t code, int64_t now);
  // Due at `now`, also within the floor of an earlier outcome, which is gone.
  Delays SetDueNow(int64_t now);
  // Takes the next check a hive file stored: anything but a number that is
  // at most kMaxStoredNextCheckAhead after `now` (null: none) makes it `now`.
  void Restore(const nlohmann::json* stored, int64_t now);
  // Moves the next check to `when` without an outcome (a hive found without
  // a base, or with changes that never reached the server, is due at once).
  void DueAt(int64_t when) { next_check_ = when; }

  // A factor in [0, 0.2) by which a timeout grows.
  double NextJitter();
  void Seed(uint32_t seed) { random_.seed(seed); }
  // Every later jitter is `fixed`; none: drawn again.
  void SetJitterForTesting(std::optional<double> fixed) { fixed_jitter_ = fixed; }

  int64_t next_check() const { return next_check_; }
  int64_t not_before() const { return not_before_; }
  int64_t poll_interval() const { return poll_interval_; }
  void set_poll_interval(int64_t seconds) { poll_interval_ = seconds; }
  uint32_t last_status() const { return last_status_; }

 private:
  int64_t poll_interval_ = kDefaultPollInterval;
  int64_t not_before_ = 0;  // the back-off floor
  int64_t next_check_ = 0;
  uint32_t last_status_ = kStatusDueNow;
  std::mt19937 random_;
  std::optional<double> fixed_jitter_;
};
