#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "store/settings_test_support.h"
#include "store/storage_log_capture.h"

namespace settings_testing {
namespace {

using storage_testing::LogCapture;

class SettingsUpdateCycleTest : public HiveTest {
 protected:
  // A hive with a server copy (an etag) of its own base.
  std::unique_ptr<TestHive> ConnectedHive(const json& values = {{"a", 5}}) {
    WriteLocal(kUser, json{{"metadata", {{"etag", "\"e1\""}, {"pns_id", "push"}, {"next_check", Now() + 100}}}});
    return MakeHiveWithBase(values);
  }
  json Status(TestHive& hive) {
    json value;
    EXPECT_EQ(hive.GetValue(P("status.windows.velder"), value, Reader()), ResultCode::Success);
    return value;
  }
};

TEST_F(SettingsUpdateCycleTest, EachStatusHasItsDelayAndBackOff) {
  auto hive = MakeHiveWithBase();
  struct Case {
    uint32_t code;
    int64_t poll_interval;
    double jitter;
    int64_t delay;       // next check - now
    int64_t not_before;  // not-before - now
  };
  const Case cases[] = {
      {0, 172800, 0.1, 0, 0},
      {1, 172800, 0.1999, 172800 + 34542, 30},
      {2, 172800, 0.1, 172800 + 17280, 0},
      {3, 172800, 0.1, 11, 5},
      {4, 172800, 0.1, 66, 5},
      {5, 172800, 0.1, 2592000 + 259200, 30},
      {6, 172800, 0.0, 10, 5},
      {8, 600, 0.1, 660, 30},
      {7, 10, 0.1, 30, 30},  // never before the back-off
      {2, -50, 0.1, 0, 0},   // a negative interval does not schedule into the past
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "code " << c.code << ", interval " << c.poll_interval);
    clock_->Advance(3600 * 1000);  // past every earlier back-off
    update_event_.Reset();
    hive->SetPollInterval(c.poll_interval);
    hive->jitter = c.jitter;
    hive->SetNextUpdateCheck(c.code);
    EXPECT_EQ(hive->next_check() - Now(), c.delay);
    if (c.not_before != 0) {
      EXPECT_EQ(hive->not_before() - Now(), c.not_before);
    }
    EXPECT_EQ(hive->next_check() - Now(), c.delay);
    EXPECT_EQ(hive->local_document()["metadata"]["next_check"], hive->next_check());
    EXPECT_TRUE(update_event_.IsSet());
  }
}

TEST_F(SettingsUpdateCycleTest, BackOffFloorOnlyGrows) {
  auto hive = MakeHiveWithBase();
  hive->SetPollInterval(2);
  hive->SetNextUpdateCheck(Settings::kStatusUnauthorized);  // back-off 5
  EXPECT_EQ(hive->next_check(), Now() + 10);
  hive->SetNextUpdateCheck(Settings::kStatusFetched);  // 2 s, no back-off of its own
  EXPECT_EQ(hive->next_check(), Now() + 5);
  // Asked for by a client: the floor does not hold it back, and is gone.
  hive->UpdateNow();
  EXPECT_EQ(hive->next_check(), Now());
  EXPECT_EQ(hive->last_status_code(), Settings::kStatusDueNow);
  EXPECT_TRUE(hive->dirty());
  hive->SetNextUpdateCheck(Settings::kStatusFetched);
  EXPECT_EQ(hive->next_check(), Now() + 2);
}

TEST_F(SettingsUpdateCycleTest, SyncOrPushDuringAnExchangeOutlivesItsOutcome) {
  for (const bool asked : {false, true}) {
    SCOPED_TRACE(asked ? "asked during the exchange" : "nothing asked");
    auto hive = ConnectedHive();
    hive->UpdateStart();
    if (asked) hive->HandlePushNotification(R"({"data":{"pns_message_type_id":"velder.settings.refresh"}})");
    hive->UpdateStart();  // a re-sent upload within the same exchange
    hive->UpdateFinishUpToDate(false);
    EXPECT_GT(hive->next_check(), Now() + 1000);
    hive->UpdateEnd();
    EXPECT_EQ(hive->next_check() == Now(), asked);
  }
}

TEST_F(SettingsUpdateCycleTest, RescheduleOnlyWhenTheIntervalChanges) {
  auto hive = MakeHiveWithBase();
  hive->SetNextUpdateCheck(Settings::kStatusFetched);
  const int64_t first = hive->next_check();
  clock_->Advance(1000 * 1000);
  hive->RescheduleNextUpdateCheck(Settings::kDefaultPollInterval);
  EXPECT_EQ(hive->next_check(), first);
  hive->RescheduleNextUpdateCheck(3600);
  EXPECT_EQ(hive->poll_interval(), 3600);
  EXPECT_EQ(hive->next_check(), Now() + 3600);
  EXPECT_EQ(hive->last_status_code(), Settings::kStatusFetched);
}

TEST_F(SettingsUpdateCycleTest, InactiveOnlyWhenLongUntouchedAndUnwatched) {
  auto hive = MakeHiveWithBase();
  clock_->Advance(1200 * 1000);
  EXPECT_FALSE(hive->IsInactive()) << "exactly 20 minutes is still active";
  clock_->Advance(1000);
  {
    LogCapture log;
    EXPECT_TRUE(hive->IsInactive());
    EXPECT_TRUE(log.Contains("INACTIVE - product 'tarn', hive 'S..21-1000'")) << log.Text();
  }
  ASSERT_TRUE(notifier_.Subscribe(Settings::kProduct, kUser, P("some.path"), "chan"));
  EXPECT_FALSE(hive->IsInactive());
  ASSERT_TRUE(notifier_.Unsubscribe(Settings::kProduct, kUser, P("some.path"), "chan"));
  ASSERT_TRUE(notifier_.Subscribe(Settings::kProduct, "S-1-5-21-9", P(""), "chan"));  // another hive
  EXPECT_TRUE(hive->IsInactive());

  // Every kind of use counts as access.
  json value;
  std::vector<Settings::Entry> entries;
  const std::function<void()> uses[] = {
      [&] { hive->GetValue(P("a"), value, Reader()); },
      [&] { hive->GetValue(P("a"), value, RequestContext{}); },  // refused, but still a use
      [&] { hive->SetValue(P("a"), 3, Owner(), "c"); },
      [&] { hive->DeleteValue(P("a"), Owner(), "c"); },
      [&] { hive->Enumerate("", Reader(), entries); },
      [&] { hive->GetConstraints(P("a")); },
      [&] { hive->SetLocalConstraints(P("a"), 0, Owner(), "c"); },
  };
  for (const auto& use : uses) {
    clock_->Advance(1201 * 1000);
    ASSERT_TRUE(hive->IsInactive());
    use();
    EXPECT_FALSE(hive->IsInactive());
  }
}

TEST_F(SettingsUpdateCycleTest, ConnectionStatusIsReadableAndShowsNewBaseValues) {
  auto hive = ConnectedHive();
  ASSERT_TRUE(hive->connected());
  hive->jitter = 0;
  ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(TestSchema(), {{"a", 6}})));
  const int64_t t1 = Now();
  hive->WriteConnectionStatus(true, true);
  EXPECT_EQ(Status(*hive), json({{"connected", true},
                                 {"last_connection_timestamp", t1},
                                 {"last_successful_connection_timestamp", t1},
                                 {"last_successful_update_timestamp", t1}}));
  EXPECT_EQ(hive->effective_document()["a"], 6);
  std::vector<std::string> lines = notifier_.TakeLines("");
  EXPECT_EQ(lines.front(), "a=6");
  EXPECT_EQ(lines.size(), 5u);
  EXPECT_TRUE(hive->dirty());

  clock_->Advance(5000);
  hive->WriteConnectionStatus(false, false);
  json status = Status(*hive);
  EXPECT_EQ(status["last_connection_timestamp"], t1 + 5);
  EXPECT_EQ(status["last_successful_connection_timestamp"], t1);
  EXPECT_EQ(notifier_.TakeLines(""),
            (std::vector<std::string>{"status.windows.velder.last_connection_timestamp=" + std::to_string(t1 + 5)}));

  hive->ClearConnectionStatus();
  EXPECT_EQ(Status(*hive), json({{"connected", false}}));
}

TEST_F(SettingsUpdateCycleTest, ConnectionStatusThatCannotBeStoredStillShowsTheNewBase) {
  WriteLocal(kUser, json{{"local", {{"status", "edited"}}}, {"metadata", {{"etag", "e"}}}});
  auto hive = MakeHiveWithBase({{"a", 5}});
  ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(TestSchema(), {{"a", 6}})));
  LogCapture log;
  hive->WriteConnectionStatus(true, true);
  EXPECT_TRUE(log.Contains("Failed to write the connection status of hive 'S..21-1000': InvalidType")) << log.Text();
  EXPECT_EQ(hive->effective_document()["a"], 6);
  EXPECT_EQ(hive->local_document()["local"]["status"], "edited");
}

TEST_F(SettingsUpdateCycleTest, LosingTheServerCopyFallsBackToTheSystemBase) {
  WriteBase(kSystem, BaseWith(TestSchema(), {{"a", 1000}}));
  auto hive = ConnectedHive({{"a", 5}, {"s", "own"}});
  hive->WriteConnectionStatus(true, true);
  ASSERT_EQ(hive->SetValue(P("grp.b"), 77, Owner(), "c"), ResultCode::Success);
  hive->StartJournal();
  notifier_.Take();
  {
    LogCapture log;
    hive->SetToNotConnected();
    EXPECT_TRUE(log.Contains("Set hive 'S..21-1000' to not connected")) << log.Text();
  }
  EXPECT_FALSE(hive->connected());
  EXPECT_FALSE(std::filesystem::exists(FileOf(kUser, "base")));
  const json local = hive->local_document();
  EXPECT_EQ(local["metadata"]["etag"], nullptr);
  EXPECT_EQ(local["metadata"]["pns_id"], nullptr);
  EXPECT_EQ(local["patch"], json({{"grp", {{"b", 77}}}})) << "local changes survive";
  EXPECT_EQ(hive->Journal(), nullptr);
  EXPECT_EQ(hive->effective_document()["a"], 1000);
  EXPECT_EQ(hive->effective_document()["grp"]["b"], 77);
  EXPECT_EQ(Status(*hive), json({{"connected", false}}));
  const std::vector<std::string> lines = notifier_.TakeLines("");
  for (const std::string line : {"a=1000", "s=\"x\"", "status.windows.velder.connected=false"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
  EXPECT_EQ(hive->next_check(), Now() + 2592000);
  EXPECT_EQ(hive->not_before(), Now() + 30);
  EXPECT_EQ(hive->last_status_code(), Settings::kStatusNotConnected);
  EXPECT_TRUE(hive->dirty());
}

TEST_F(SettingsUpdateCycleTest, NeverConnectedHiveOnlyClearsItsStatusAndWaits) {
  auto hive = MakeHiveWithBase({{"a", 5}});
  const json base = hive->base_document();
  {
    LogCapture log;
    hive->SetToNotConnected();
    EXPECT_FALSE(log.Contains("to not connected"));
  }
  EXPECT_TRUE(std::filesystem::exists(FileOf(kUser, "base")));
  EXPECT_EQ(hive->base_document(), base);
  EXPECT_FALSE(hive->local_document()["metadata"].contains("etag"));
  EXPECT_EQ(Status(*hive), json({{"connected", false}}));
  EXPECT_EQ(hive->next_check(), Now() + 2592000);
}

TEST_F(SettingsUpdateCycleTest, SystemHiveKeepsItsBaseWhenDisconnected) {
  WriteLocal(kSystem, json{{"metadata", {{"etag", "e"}}}});
  auto hive = MakeHiveWithBase({{"a", 5}}, kSystem);
  ASSERT_TRUE(hive->connected());
  hive->SetToNotConnected();
  EXPECT_TRUE(std::filesystem::exists(FileOf(kSystem, "base")));
  EXPECT_EQ(hive->effective_document()["a"], 5);
}

// What one exchange leaves in "patch", the journal, the base and the
// schedule, for each way it can end, with a change made while it was in flight.
TEST_F(SettingsUpdateCycleTest, JournalKeepsChangesMadeWhileAnExchangeIsInFlight) {
  const std::string new_base = BaseWith(TestSchema(), {{"a", 9}}).dump();
  struct Case {
    const char* name;
    std::function<void(TestHive&)> finish;
    json patch;             // "patch" afterwards
    std::string etag;       // "metadata"."etag" afterwards
    int a;                  // effective "a" afterwards
    int64_t delay;          // next check - now: pending changes go at once, after the back-off floor
    bool update_succeeded;  // "last_successful_update_timestamp" written
  };
  const json both = {{"a", 50}, {"grp", {{"b", 8}}}};
  const json meanwhile = {{"grp", {{"b", 8}}}};
  const Case cases[] = {
      {"settings after upload", [&](TestHive& h) { h.UpdateFinishData(new_base, "\"e2\"", true); }, meanwhile,
       "\"e2\"", 9, 30, true},
      {"settings after fetch (412 first)", [&](TestHive& h) { h.UpdateFinishData(new_base, "\"e2\"", false); }, both,
       "\"e2\"", 50, 0, true},
      {"no content after upload", [](TestHive& h) { h.UpdateFinishUpToDate(true); }, meanwhile, "\"e1\"", 5, 30, false},
      {"not modified after fetch", [](TestHive& h) { h.UpdateFinishUpToDate(false); }, both, "\"e1\"", 50, 30, false},
      {"upload refused (422)", [](TestHive& h) { h.UpdateFinishError(Settings::kErrorRefused); }, meanwhile, "\"e1\"",
       5, 0, false},
      {"transport failure", [](TestHive& h) { h.UpdateFinishError(Settings::kErrorGeneral); }, both, "\"e1\"", 50, 900,
       false},
      {"too many requests", [](TestHive& h) { h.UpdateFinishError(Settings::kErrorTooMany); }, both, "\"e1\"", 50,
       10, false},
      {"garbage body", [](TestHive& h) { h.UpdateFinishData("{not json", "\"e2\"", false); }, both, "\"e1\"", 50,
       30, false},
      {"no ETag", [&](TestHive& h) { h.UpdateFinishData(new_base, "", false); }, both, "\"e1\"", 50, 900,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clock_->Advance(3600 * 1000);
    auto hive = ConnectedHive();
    ASSERT_EQ(hive->SetValue(P("a"), 50, Owner(), "c"), ResultCode::Success);
    EXPECT_EQ(hive->UpdateStart(), R"({"values":{"a":50}})");
    ASSERT_EQ(hive->SetValue(P("grp.b"), 8, Owner(), "c"), ResultCode::Success);
    LogCapture log;
    c.finish(*hive);
    const json local = hive->local_document();
    EXPECT_EQ(local["patch"], c.patch);
    EXPECT_EQ(hive->Journal(), json::object());
    EXPECT_EQ(local["metadata"]["etag"], c.etag);
    EXPECT_EQ(hive->effective_document()["a"], c.a);
    EXPECT_EQ(hive->effective_document()["grp"]["b"], 8);
    EXPECT_EQ(hive->next_check() - Now(), c.delay);
    EXPECT_EQ(Status(*hive).contains("last_successful_update_timestamp"), c.update_succeeded);
    EXPECT_EQ(log.Contains("Missing ETAG"), std::string(c.name) == "no ETag") << log.Text();
  }
}

TEST_F(SettingsUpdateCycleTest, NotFoundDisconnectsAndAnEmptyPatchUploadsNothing) {
  auto hive = ConnectedHive();
  EXPECT_EQ(hive->UpdateStart(), "") << "nothing to upload";
  hive->UpdateFinishError(Settings::kErrorNotFound);
  EXPECT_FALSE(hive->connected());
  EXPECT_EQ(hive->last_status_code(), Settings::kStatusNotConnected);
  EXPECT_EQ(Status(*hive), json({{"connected", false}}));
}

}  // namespace
}  // namespace settings_testing
