#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "store/settings_test_support.h"

namespace settings_testing {
namespace {

class SettingsUpdateCycleTest : public HiveTest {
 protected:
  // A hive with a server copy (an etag) of its own base.
  std::unique_ptr<Settings> ConnectedHive(const json& values = {{"a", 5}}, const std::string& user = kUser) {
    WriteLocal(user, json{{"metadata", {{"etag", "\"e1\""}, {"pns_id", "push"}, {"next_check", Now() + 100}}}});
    return MakeHiveWithBase(values, user);
  }
  json Status(Settings& hive) {
    json value;
    EXPECT_EQ(hive.GetValue(P("status.windows.velder"), value, Reader()), ResultCode::Success);
    return value;
  }
};

TEST_F(SettingsUpdateCycleTest, SyncOrPushDuringAnExchangeOutlivesItsOutcome) {
  for (const bool asked : {false, true}) {
    SCOPED_TRACE(asked ? "asked during the exchange" : "nothing asked");
    auto hive = ConnectedHive();
    hive->UpdateStart();
    if (asked) hive->HandlePushNotification(R"({"data":{"pns_message_type_id":"velder.settings.refresh"}})");
    hive->UpdateStart();  // a re-sent upload within the same exchange
    hive->UpdateFinishUpToDate(false);
    EXPECT_GT(hive->next_check(), Now() + 1000);
    update_event_.Reset();
    hive->UpdateEnd();
    EXPECT_EQ(hive->next_check() == Now(), asked);
    EXPECT_EQ(update_event_.IsSet(), asked);
  }
  // A client's sync comes through the back-off floor of the last outcome.
  auto hive = MakeHiveWithBase();
  hive->SetNextUpdateCheck(UpdateSchedule::kStatusUnauthorized);
  hive->UpdateNow();
  EXPECT_EQ(hive->next_check(), Now());
  EXPECT_EQ(hive->local_document()["metadata"]["next_check"], Now());
  EXPECT_TRUE(hive->dirty());
}

TEST_F(SettingsUpdateCycleTest, RescheduleOnlyWhenTheIntervalChanges) {
  auto hive = MakeHiveWithBase();
  hive->SetNextUpdateCheck(UpdateSchedule::kStatusFetched);
  const int64_t first = hive->next_check();
  clock_->Advance(1000 * 1000);
  hive->RescheduleNextUpdateCheck(UpdateSchedule::kDefaultPollInterval);
  EXPECT_EQ(hive->next_check(), first);
  hive->RescheduleNextUpdateCheck(3600);
  EXPECT_EQ(hive->next_check(), Now() + 3600);
  EXPECT_EQ(hive->last_status_code(), UpdateSchedule::kStatusFetched);
}

TEST_F(SettingsUpdateCycleTest, ConnectionStatusIsReadableAndShowsNewBaseValues) {
  auto hive = ConnectedHive();
  ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(TestSchema(), {{"a", 6}})));
  const int64_t t1 = Now();
  hive->WriteConnectionStatus(true, true);
  EXPECT_EQ(Status(*hive), json({{"connected", true},
                                 {"last_connection_timestamp", t1},
                                 {"last_successful_connection_timestamp", t1},
                                 {"last_successful_update_timestamp", t1}}));
  EXPECT_EQ(hive->effective_document()["a"], 6);
  EXPECT_EQ(notifier_.TakeLines("").front(), "a=6") << "a server's change is told to every subscriber";
  EXPECT_TRUE(hive->dirty());

  clock_->Advance(5000);
  hive->WriteConnectionStatus(false, false);
  json status = Status(*hive);
  EXPECT_EQ(status["last_connection_timestamp"], t1 + 5);
  EXPECT_EQ(status["last_successful_connection_timestamp"], t1);
  EXPECT_EQ(notifier_.TakeLines("").size(), 1u);

  // An edited file with a plain value on the status path cannot take it;
  // the new base is shown all the same.
  WriteLocal(kUser, json{{"local", {{"status", "edited"}}}, {"metadata", {{"etag", "e"}}}});
  hive = MakeHiveWithBase({{"a", 5}});
  ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(TestSchema(), {{"a", 6}})));
  hive->WriteConnectionStatus(true, true);
  EXPECT_EQ(hive->effective_document()["a"], 6);
  EXPECT_EQ(hive->local_document()["local"]["status"], "edited");
}

TEST_F(SettingsUpdateCycleTest, LosingTheServerCopyFallsBackToTheSystemBase) {
  WriteBase(kSystem, BaseWith(TestSchema(), {{"a", 1000}}));
  auto hive = ConnectedHive({{"a", 5}, {"s", "own"}});
  hive->WriteConnectionStatus(true, true);
  ASSERT_EQ(hive->SetValue(P("grp.b"), 77, Owner(), "c"), ResultCode::Success);
  hive->UpdateStart();
  notifier_.Take();
  hive->SetToNotConnected();
  EXPECT_FALSE(std::filesystem::exists(FileOf(kUser, "base")));
  const json local = hive->local_document();
  EXPECT_EQ(local["metadata"]["etag"], nullptr);
  EXPECT_EQ(local["metadata"]["pns_id"], nullptr);
  EXPECT_EQ(local["patch"], json({{"grp", {{"b", 77}}}})) << "local changes survive";
  EXPECT_EQ(hive->update_journal(), nullptr);
  EXPECT_EQ(hive->effective_document()["a"], 1000);
  EXPECT_EQ(hive->effective_document()["grp"]["b"], 77);
  EXPECT_EQ(Status(*hive), json({{"connected", false}}));
  const std::vector<std::string> lines = notifier_.TakeLines("");
  for (const std::string line : {"a=1000", "s=\"x\"", "status.windows.velder.connected=false"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
  EXPECT_EQ(hive->not_before(), Now() + 30);
  EXPECT_EQ(hive->last_status_code(), UpdateSchedule::kStatusNotConnected);
  EXPECT_TRUE(hive->dirty());
}

TEST_F(SettingsUpdateCycleTest, DisconnectingKeepsTheBaseOfANeverConnectedOrSystemHive) {
  auto never = MakeHiveWithBase({{"a", 5}});
  auto system = ConnectedHive({{"a", 6}}, kSystem);
  ASSERT_TRUE(system->connected());
  for (Settings* hive : {never.get(), system.get()}) {
    SCOPED_TRACE(hive->user());
    const json base = hive->base_document();
    hive->SetToNotConnected();
    EXPECT_TRUE(std::filesystem::exists(FileOf(hive->user(), "base")));
    EXPECT_EQ(hive->base_document(), base);
    EXPECT_EQ(Status(*hive), json({{"connected", false}}));
    EXPECT_EQ(hive->next_check(), Now() + 2592000);
  }
  EXPECT_FALSE(never->local_document()["metadata"].contains("etag"));
}

// What one exchange leaves in "patch", the journal, the base and the
// schedule, for each way it can end, with a change made while it was in flight.
TEST_F(SettingsUpdateCycleTest, JournalKeepsChangesMadeWhileAnExchangeIsInFlight) {
  const std::string new_base = BaseWith(TestSchema(), {{"a", 9}}).dump();
  struct Case {
    const char* name;
    std::function<void(Settings&)> finish;
    json patch;             // "patch" afterwards
    std::string etag;       // "metadata"."etag" afterwards
    int a;                  // effective "a" afterwards
    int64_t delay;          // next check - now: pending changes go at once, after the back-off floor
    bool update_succeeded;  // "last_successful_update_timestamp" written
  };
  const json both = {{"a", 50}, {"grp", {{"b", 8}}}};
  const json meanwhile = {{"grp", {{"b", 8}}}};
  const Case cases[] = {
      {"settings after upload", [&](Settings& h) { h.UpdateFinishData(new_base, "\"e2\"", true); }, meanwhile,
       "\"e2\"", 9, 30, true},
      {"settings after fetch (412 first)", [&](Settings& h) { h.UpdateFinishData(new_base, "\"e2\"", false); }, both,
       "\"e2\"", 50, 0, true},
      {"no content after upload", [](Settings& h) { h.UpdateFinishUpToDate(true); }, meanwhile, "\"e1\"", 5, 30, false},
      {"not modified after fetch", [](Settings& h) { h.UpdateFinishUpToDate(false); }, both, "\"e1\"", 50, 30, false},
      {"upload refused (422)", [](Settings& h) { h.UpdateFinishError(Settings::kErrorRefused); }, meanwhile, "\"e1\"",
       5, 0, false},
      {"transport failure", [](Settings& h) { h.UpdateFinishError(Settings::kErrorGeneral); }, both, "\"e1\"", 50, 900,
       false},
      {"too many requests", [](Settings& h) { h.UpdateFinishError(Settings::kErrorTooMany); }, both, "\"e1\"", 50, 10,
       false},
      {"garbage body", [](Settings& h) { h.UpdateFinishData("{not json", "\"e2\"", false); }, both, "\"e1\"", 50, 30,
       false},
      {"no ETag", [&](Settings& h) { h.UpdateFinishData(new_base, "", false); }, both, "\"e1\"", 50, 900, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clock_->Advance(3600 * 1000);
    auto hive = ConnectedHive();
    ASSERT_EQ(hive->SetValue(P("a"), 50, Owner(), "c"), ResultCode::Success);
    EXPECT_EQ(hive->UpdateStart(), R"({"values":{"a":50}})");
    ASSERT_EQ(hive->SetValue(P("grp.b"), 8, Owner(), "c"), ResultCode::Success);
    c.finish(*hive);
    const json local = hive->local_document();
    EXPECT_EQ(local["patch"], c.patch);
    EXPECT_EQ(hive->update_journal(), json::object());
    EXPECT_EQ(local["metadata"]["etag"], c.etag);
    EXPECT_EQ(hive->effective_document()["a"], c.a);
    EXPECT_EQ(hive->effective_document()["grp"]["b"], 8);
    EXPECT_EQ(hive->next_check() - Now(), c.delay);
    EXPECT_EQ(Status(*hive).contains("last_successful_update_timestamp"), c.update_succeeded);
  }
}

}  // namespace
}  // namespace settings_testing
