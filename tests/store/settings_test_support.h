// Shared pieces of the hive tests: a notifier that records what hives queue,
// a fixture with a real Storage in a temporary folder and a fake clock, a
// test schema, and request contexts for the usual callers. Hives are made
// without jitter, so that their schedule is exact.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "manager/statistics.h"
#include "notify/change_notifier.h"
#include "platform/manual_reset_event.h"
#include "platform/mutex.h"
#include "store/request_context.h"
#include "store/settings.h"
#include "store/storage.h"
#include "store/path_from_text.h"
#include "store/velder_path.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace settings_testing {

using nlohmann::json;

inline constexpr char kUser[] = "S-1-5-21-1000";
inline constexpr char kSystem[] = "S-1-5-18";

// The stop event must exist before the notifier that keeps a reference to it.
struct StopEventHolder {
  platform::ManualResetEvent stop_event;
};

// Records every notification instead of sending it; thread-safe.
class RecordingNotifier : private StopEventHolder, public ChangeNotifier {
 public:
  RecordingNotifier() : ChangeNotifier(stop_event, "test-identity", nullptr) {}

  void Enqueue(std::shared_ptr<const Notification> notification) override {
    platform::MutexLock lock(mutex_);
    records_.push_back(*notification);
  }

  std::vector<Notification> Take() {
    platform::MutexLock lock(mutex_);
    std::vector<Notification> taken;
    taken.swap(records_);
    return taken;
  }

  // Value notifications as "path=value" ("path=" for a removal) and
  // constraint notifications as "path:bits", in queue order; origins are
  // checked to equal `origin` when given.
  std::vector<std::string> TakeLines(const std::optional<std::string>& origin = std::nullopt) {
    std::vector<std::string> lines;
    for (const Notification& n : Take()) {
      if (origin) {
        EXPECT_EQ(n.origin, *origin) << VelderPath::ToString(n.path);
      }
      if (n.kind == Notification::kConstraints) {
        lines.push_back(VelderPath::ToString(n.path) + ":" + std::to_string(n.constraints));
      } else {
        lines.push_back(VelderPath::ToString(n.path) + "=" + (n.value.is_null() ? "" : n.value.dump()));
      }
    }
    return lines;
  }

 private:
  platform::Mutex mutex_;
  std::vector<Notification> records_ GUARDED_BY(mutex_);
};

// A schema with one setting of each kind the hive treats differently.
inline json TestSchema() {
  return json::parse(R"({
    "a": {"type": "integer", "default": 1, "maximum": 100},
    "s": {"type": "string", "default": "x", "maxLength": 5},
    "ro": {"type": "integer", "default": 7, "readonly": true},
    "grp": {"type": "object", "properties": {
      "b": {"type": "integer", "default": 2},
      "c": {"type": "boolean", "default": false},
      "inner": {"type": "object", "properties": {"d": {"type": "string", "default": "d"}}}}},
    "arr": {"type": "array", "default": [{"n": 1}, {"n": 2}, {"n": 3}],
            "items": {"type": "object", "properties": {"n": {"type": "integer", "default": 0}}}},
    "nums": {"type": "array", "items": {"type": "number"}, "default": [1, 2, 3]},
    "dyn": {"type": "object", "dynamic": true, "default": {}},
    "windows": {"type": "object", "properties": {"velder": {"type": "object", "properties": {
      "statistics_on": {"type": "boolean", "default": false},
      "product": {"type": "string", "default": "prod"}}}}}
  })");
}

inline json BaseWith(const json& schema, const json& values = json::object()) {
  return json{{"data", {{"eff_schema", schema}, {"values", values}}}};
}

inline RequestContext Admin(const std::string& user = kUser) { return {Settings::kProduct, user, true, true, true}; }
inline RequestContext Owner(const std::string& user = kUser) { return {Settings::kProduct, user, true, true, false}; }
inline RequestContext Reader(const std::string& user = kUser) { return {Settings::kProduct, user, true, false, false}; }

class HiveTest : public testing::Test {
 protected:
  HiveTest() : storage_(dir_.path().string()) {}

  void WriteBase(const std::string& user, const json& document) {
    ASSERT_EQ(storage_.SaveBase(Settings::kProduct, user, document), Storage::kStatusOk);
  }
  // The local file a test writes is the whole local state: the change journal
  // of an earlier hive that was never saved would be replayed over it.
  void WriteLocal(const std::string& user, const json& document) {
    ASSERT_EQ(storage_.SaveLocal(Settings::kProduct, user, document), Storage::kStatusOk);
    std::filesystem::remove(FileOf(user, "local") + ".journal");
  }
  json StoredLocal(const std::string& user = kUser) { return storage_.LoadLocal(Settings::kProduct, user); }
  std::string FileOf(const std::string& user, const std::string& kind) {
    return storage_.GetFileName(Settings::kProduct, user, kind);
  }

  std::unique_ptr<Settings> MakeHive(const std::string& user = kUser, Statistics* statistics = nullptr) {
    auto hive = std::make_unique<Settings>(user, storage_, notifier_, update_event_, statistics, "test-identity");
    hive->SetJitterForTesting(0.0);
    hive->Load();
    return hive;
  }
  // A hive of `user` over the test schema with `values` as its base values.
  std::unique_ptr<Settings> MakeHiveWithBase(const json& values = json::object(), const std::string& user = kUser) {
    WriteBase(user, BaseWith(TestSchema(), values));
    auto hive = MakeHive(user);
    notifier_.Take();
    update_event_.Reset();
    return hive;
  }

  int64_t Now() const { return platform::CurrentClock().NowSeconds(); }

  testing_support::ScopedFakeClock clock_;
  testing_support::TempDir dir_;
  Storage storage_;
  RecordingNotifier notifier_;
  platform::ManualResetEvent update_event_;
};

}  // namespace settings_testing
