#include <gtest/gtest.h>

#include <filesystem>

#include "manager/statistics.h"
#include "store/settings_test_support.h"

namespace settings_testing {
namespace {

// Makes saving to `file` fail: a non-empty directory cannot be replaced by a
// rename, not even by root.
void BlockFile(const std::string& file) {
  std::filesystem::remove(file);
  std::filesystem::create_directories(file + "/blocker");
}

class SettingsDocumentsTest : public HiveTest {};

TEST_F(SettingsDocumentsTest, NewUserHiveStartsFromTheSystemBase) {
  WriteBase(kSystem, BaseWith(TestSchema(), {{"a", 42}}));
  WriteLocal(kUser, json{{"metadata", {{"etag", "\"user-etag\""}, {"pns_id", "p"}, {"next_check", Now() + 500}}}});
  EXPECT_FALSE(update_event_.IsSet());
  auto hive = MakeHive();
  EXPECT_EQ(hive->effective_document()["a"], 42);
  const json metadata = hive->local_document()["metadata"];
  EXPECT_EQ(metadata["etag"], "");
  EXPECT_EQ(metadata["pns_id"], "");
  EXPECT_FALSE(hive->connected());
  EXPECT_TRUE(hive->dirty());
  EXPECT_TRUE(update_event_.IsSet());
  EXPECT_EQ(hive->next_check(), Now() + 500);  // a base was found: the stored schedule stands

  // Its own base, once saved, is what it loads next time.
  ASSERT_EQ(hive->SaveLocalFile(), Storage::kStatusOk);
  WriteBase(kUser, BaseWith(TestSchema(), {{"a", 43}}));
  hive.reset();
  hive = MakeHive();
  EXPECT_EQ(hive->effective_document()["a"], 43);
}

TEST_F(SettingsDocumentsTest, MissingOrDamagedFilesNeverFailAHive) {
  {
    auto hive = MakeHive(kSystem);
    EXPECT_EQ(hive->effective_document(), json::object());
    EXPECT_EQ(hive->next_check(), Now());  // no base: update at once
    EXPECT_TRUE(update_event_.IsSet());
  }
  // Garbage with no backup, and a base that is no object.
  testing_support::WriteFile(FileOf(kUser, "local"), "{not json");
  testing_support::WriteFile(FileOf(kSystem, "base"), "[1,2]");
  auto hive = MakeHive();
  EXPECT_EQ(hive->local_document()["metadata"], json({{"etag", ""}, {"pns_id", ""}}));  // fell back
  json value;
  EXPECT_EQ(hive->GetValue(P("a"), value, Reader()), ResultCode::NotFound);
  EXPECT_EQ(hive->SetValue(P("x"), 1, Owner(), "c"), ResultCode::Success);  // still serves
}

TEST_F(SettingsDocumentsTest, LocalValuesFillWhatTheSchemaLeavesOut) {
  WriteLocal(kUser, json::parse(R"({"local": {"a": 99, "grp": {"b": 98, "mine": 1}, "own": {"x": true}}})"));
  auto hive = MakeHiveWithBase({{"a", 5}});
  const json effective = hive->effective_document();
  EXPECT_EQ(effective["a"], 5);  // the schema's value stays
  EXPECT_EQ(effective["grp"]["b"], 2);
  EXPECT_EQ(effective["grp"]["mine"], 1);  // merged into the schema's object
  EXPECT_EQ(effective["own"], json({{"x", true}}));
}

// A base that comes in is saved before it counts (server_sync_test pins the
// saved file); one that is no base, or cannot be saved, changes nothing.
TEST_F(SettingsDocumentsTest, BaseDocumentsThatAreNoBaseOrCannotBeSavedChangeNothing) {
  auto hive = MakeHiveWithBase({{"a", 5}});
  const json before = hive->base_document();
  EXPECT_FALSE(hive->ApplyBaseSettings(json{{"data", {{"values", json::object()}}}})) << "no schema";
  BlockFile(FileOf(kUser, "base"));
  EXPECT_FALSE(hive->ApplyBaseSettings(BaseWith(TestSchema(), {{"a", 6}}))) << "cannot be saved";
  EXPECT_EQ(hive->base_document(), before);
}

TEST_F(SettingsDocumentsTest, NewSchemaNotifiesChangedReadOnlyMarksWithFullConstraints) {
  auto hive = MakeHiveWithBase();
  ASSERT_EQ(hive->SetLocalConstraints(P("grp"), 2, Admin(), "c"), ResultCode::Success);
  notifier_.Take();
  json schema = TestSchema();
  schema["ro"].erase("readonly");
  schema["grp"]["properties"]["b"]["readonly"] = true;
  schema["s"]["readonly"] = false;
  ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(schema)));
  std::vector<std::string> lines = notifier_.TakeLines("");
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"grp.b:3", "ro:0"}));
}

TEST_F(SettingsDocumentsTest, SystemHiveFollowsItsStatisticsSwitch) {
  static std::atomic<uint64_t> monotonic{1'000'000'000};
  Statistics statistics([] { return monotonic.load(); });
  WriteBase(kSystem, BaseWith(TestSchema(), json::parse(R"({"windows": {"velder": {"statistics_on": true}}})")));
  auto hive = MakeHive(kSystem, &statistics);
  EXPECT_TRUE(hive->statistics_on()) << "on from the first load, without any notification";

  // A periodic report is filed with the next flush once a minute has passed.
  ASSERT_EQ(hive->SaveLocalFile(), Storage::kStatusOk);
  monotonic += Statistics::kReportIntervalNs;
  EXPECT_EQ(hive->SaveLocalIfDirty(), Storage::kStatusOk);
  ASSERT_EQ(StoredLocal(kSystem)["statistics"].size(), 1u);

  // A value that is no boolean is ignored.
  json schema = TestSchema();
  schema["windows"]["properties"]["velder"]["properties"]["statistics_on"] = {{"type", "string"}, {"default", "x"}};
  ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(schema)));
  ASSERT_TRUE(hive->UpdateEffectiveSettings(std::nullopt, false));
  EXPECT_TRUE(hive->statistics_on()) << "kept as it was";
  // Without the setting, statistics are off.
  schema["windows"]["properties"]["velder"]["properties"].erase("statistics_on");
  ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(schema)));
  ASSERT_TRUE(hive->UpdateEffectiveSettings(std::nullopt, false));
  EXPECT_EQ(statistics.CurrentSession(), nullptr);

  // A user hive's setting of the same name switches nothing.
  WriteBase(kUser, BaseWith(TestSchema(), json::parse(R"({"windows": {"velder": {"statistics_on": true}}})")));
  EXPECT_FALSE(MakeHive(kUser, &statistics)->statistics_on());
  EXPECT_EQ(statistics.CurrentSession(), nullptr);
}

TEST_F(SettingsDocumentsTest, FailedSaveKeepsTheChangesForTheNextFlush) {
  auto hive = MakeHiveWithBase();
  EXPECT_FALSE(hive->dirty());
  EXPECT_EQ(hive->SaveLocalIfDirty(), Storage::kStatusOk);  // nothing to do
  EXPECT_FALSE(std::filesystem::exists(FileOf(kUser, "local")));

  ASSERT_EQ(hive->SetValue(P("a"), 9, Owner(), "c"), ResultCode::Success);
  BlockFile(FileOf(kUser, "local"));
  EXPECT_EQ(hive->SaveLocalIfDirty(), Storage::kStatusFailed);
  EXPECT_TRUE(hive->dirty());
  std::filesystem::remove_all(FileOf(kUser, "local"));
  EXPECT_EQ(hive->SaveLocalIfDirty(), Storage::kStatusOk);
  EXPECT_FALSE(hive->dirty());
  EXPECT_EQ(StoredLocal()["patch"], json({{"a", 9}}));

  // A hive that goes wakes the update loop.
  update_event_.Reset();
  hive.reset();
  EXPECT_TRUE(update_event_.IsSet());
}

TEST_F(SettingsDocumentsTest, MarkDirtySchedulesOnlyWhatCanBeUploaded) {
  struct Case {
    const char* name;
    bool etag;
    bool patch_enabled;
    bool has_patch;
    bool schedule;
    bool due_now;
  };
  const Case cases[] = {{"everything", true, true, true, true, true},
                        {"no schedule asked", true, true, true, false, false},
                        {"not connected", false, true, true, true, false},
                        {"patches off", true, false, true, true, false},
                        {"nothing to send", true, true, false, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json local = {{"metadata", {{"etag", c.etag ? "e" : ""}, {"next_check", Now() + 1000}}}};
    if (c.has_patch) local["patch"] = {{"a", 3}};
    WriteLocal(kUser, local);
    auto hive = MakeHiveWithBase();
    // Changes that never reached the server make a loaded hive due at once.
    EXPECT_EQ(hive->next_check(), c.etag && c.has_patch ? Now() : Now() + 1000);
    hive->SetPollInterval(1000);
    hive->SetNextUpdateCheck(UpdateSchedule::kStatusFetched);
    update_event_.Reset();
    hive->SetPatchEnabled(c.patch_enabled);
    EXPECT_EQ(hive->MarkDirty(c.schedule), 0u);
    EXPECT_TRUE(hive->dirty());
    EXPECT_EQ(hive->next_check(), c.due_now ? Now() : Now() + 1000);
    EXPECT_EQ(update_event_.IsSet(), c.due_now);
  }
}

TEST_F(SettingsDocumentsTest, EtagThatIsNoTextAndDisplayNames) {
  WriteLocal(kUser, json{{"metadata", {{"etag", 5}}}});
  auto hive = MakeHiveWithBase();
  EXPECT_EQ(hive->GetEtag(), "");
  EXPECT_FALSE(hive->connected());
  for (const auto& [user, shown] : std::vector<std::pair<std::string, std::string>>{
           {"S-1-5-123", "S-1-5-123"},
           {"S-1-5-1234", "S..-5-1234"},
           {"", ""},
           {"\u00e9bcdefghij\u00e9", "\u00e9..efghij\u00e9"}}) {  // characters, not bytes
    EXPECT_EQ(Settings::MakeDisplayName(user), shown);
  }
}

}  // namespace
}  // namespace settings_testing
