#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "manager/statistics.h"
#include "store/settings_test_support.h"
#include "store/storage_log_capture.h"

namespace settings_testing {
namespace {

using storage_testing::LogCapture;

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
  auto hive = MakeHive();
  EXPECT_EQ(hive->effective_document()["a"], 42);
  const json metadata = hive->local_document()["metadata"];
  EXPECT_EQ(metadata["etag"], "");
  EXPECT_EQ(metadata["pns_id"], "");
  EXPECT_FALSE(hive->connected());
  EXPECT_TRUE(hive->dirty());
  EXPECT_TRUE(update_event_.IsSet());
  EXPECT_EQ(hive->next_check(), Now() + 500);  // a base was found: the stored schedule stands
  EXPECT_FALSE(hive->local_created());

  // Its own base, once saved, is what it loads next time.
  ASSERT_EQ(hive->SaveLocalFile(), Storage::kStatusOk);
  WriteBase(kUser, BaseWith(TestSchema(), {{"a", 43}}));
  hive.reset();
  hive = MakeHive();
  EXPECT_EQ(hive->effective_document()["a"], 43);
}

TEST_F(SettingsDocumentsTest, MissingOrDamagedFilesNeverFailAHive) {
  {
    LogCapture log;
    auto hive = MakeHive(kSystem);
    EXPECT_TRUE(log.Contains("Failed to load base file, product 'tarn', hive 'S-1-5-18'")) << log.Text();
    EXPECT_EQ(hive->effective_document(), json::object());
    EXPECT_EQ(hive->next_check(), Now());  // no base: update at once
    EXPECT_TRUE(update_event_.IsSet());
    EXPECT_TRUE(hive->local_created());
    EXPECT_TRUE(hive->ClearLocalCreated());
    EXPECT_FALSE(hive->ClearLocalCreated());
  }
  // Garbage with no backup, and a base that is no object.
  testing_support::WriteFile(FileOf(kUser, "local"), "{not json");
  testing_support::WriteFile(FileOf(kSystem, "base"), "[1,2]");
  update_event_.Reset();
  auto hive = MakeHive();
  EXPECT_TRUE(hive->local_created());
  EXPECT_EQ(hive->local_document()["metadata"], json({{"etag", ""}, {"pns_id", ""}}));  // fell back
  EXPECT_EQ(hive->next_check(), Now());
  EXPECT_TRUE(update_event_.IsSet());
  json value;
  EXPECT_EQ(hive->GetValue(P("a"), value, Reader()), ResultCode::NotFound);
  EXPECT_EQ(hive->SetValue(P("x"), 1, Owner(), "c"), ResultCode::Success);  // still serves
}

TEST_F(SettingsDocumentsTest, StoredNextCheckIsClampedAndValidated) {
  WriteBase(kUser, BaseWith(TestSchema()));
  const int64_t now = Now();
  const struct {
    const char* name;
    json stored;
    int64_t expected;
  } cases[] = {
      {"30 days ahead", now + 30 * 86400, now},
      {"exactly 7 days ahead", now + 604800, now + 604800},
      {"one second more", now + 604801, now},
      {"in the past", now - 100, now - 100},
      {"a text", "soon", now},
      {"a fraction", static_cast<double>(now) + 10.75, now + 10},
      {"far beyond 64 bits", 1e300, now},
      {"missing", nullptr, now},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    json metadata = json::object();
    if (!c.stored.is_null()) metadata["next_check"] = c.stored;
    WriteLocal(kUser, json{{"metadata", metadata}});
    EXPECT_EQ(MakeHive()->next_check(), c.expected);
  }
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

TEST_F(SettingsDocumentsTest, BaseDocumentsAreCheckedAndSavedBeforeTheyCount) {
  auto hive = MakeHiveWithBase({{"a", 5}});
  const json before = hive->base_document();
  const struct {
    const char* name;
    json document;
  } invalid[] = {
      {"no data", json{{"other", 1}}},
      {"no schema", json{{"data", {{"values", json::object()}}}}},
      {"schema not an object", json{{"data", {{"eff_schema", json::array()}}}}},
      {"values not an object", json{{"data", {{"eff_schema", json::object()}, {"values", 3}}}}},
      {"not an object", json::array()},
  };
  for (const auto& c : invalid) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_FALSE(hive->ApplyBaseSettings(c.document));
    EXPECT_TRUE(log.Contains("Invalid VELDER base node rejected")) << log.Text();
    EXPECT_EQ(hive->base_document(), before);
  }

  // A base that cannot be written is refused; only Storage says why.
  BlockFile(FileOf(kUser, "base"));
  {
    LogCapture log;
    EXPECT_FALSE(hive->ApplyBaseSettings(BaseWith(TestSchema(), {{"a", 6}})));
    EXPECT_FALSE(log.Contains("Invalid VELDER base node rejected"));
  }
  EXPECT_EQ(hive->base_document(), before);
  std::filesystem::remove_all(FileOf(kUser, "base"));

  ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(TestSchema(), {{"a", 6}})));
  EXPECT_EQ(storage_.LoadBase(Settings::kProduct, kUser), BaseWith(TestSchema(), {{"a", 6}}));
  EXPECT_EQ(hive->effective_document()["a"], 5) << "visible only after the rebuild";
  ASSERT_TRUE(hive->UpdateEffectiveSettings(std::string("origin"), false));
  EXPECT_EQ(hive->effective_document()["a"], 6);
  EXPECT_EQ(notifier_.TakeLines("origin"), (std::vector<std::string>{"a=6"}));
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

TEST_F(SettingsDocumentsTest, RebuildNotifiesEveryChangedLeafOnce) {
  json schema = TestSchema();
  auto hive = MakeHiveWithBase(json::parse(R"({"a": 5, "dyn": {"v": 5, "o": {"p": 1, "q": 2}, "gone": {"g": 1}}})"));
  ASSERT_TRUE(hive->ApplyBaseSettings(
      BaseWith(schema, json::parse(R"({"a": 6, "dyn": {"v": {"now": "object"}, "o": 3, "new": [1]}})"))));
  ASSERT_TRUE(hive->UpdateEffectiveSettings(std::nullopt, false));
  EXPECT_TRUE(notifier_.Take().empty()) << "no origin: nobody is told";

  ASSERT_TRUE(hive->ApplyBaseSettings(
      BaseWith(schema, json::parse(R"({"a": 5, "dyn": {"v": 5, "o": {"p": 1, "q": 2}, "gone": {"g": 1}}})"))));
  ASSERT_TRUE(hive->UpdateEffectiveSettings(std::string(), false));
  EXPECT_EQ(notifier_.TakeLines(""), (std::vector<std::string>{
                                         "a=5",
                                         "dyn.gone.g=1",
                                         "dyn.o=",  // a plain value became an object
                                         "dyn.o.p=1",
                                         "dyn.o.q=2",
                                         "dyn.v.now=",  // an object became a plain value
                                         "dyn.v=5",
                                         "dyn.new=",
                                     }));
  // Nothing changed: nothing to tell.
  ASSERT_TRUE(hive->UpdateEffectiveSettings(std::string(), false));
  EXPECT_TRUE(notifier_.Take().empty());
}

TEST_F(SettingsDocumentsTest, SystemHiveFollowsItsStatisticsSwitch) {
  static std::atomic<uint64_t> monotonic{1'000'000'000};
  Statistics statistics([] { return monotonic.load(); });
  WriteBase(kSystem, BaseWith(TestSchema(), json::parse(R"({"windows": {"velder": {"statistics_on": true}}})")));
  auto hive = MakeHive(kSystem, &statistics);
  EXPECT_TRUE(hive->statistics_on()) << "on from the first load, without any notification";
  ASSERT_NE(statistics.CurrentSession(), nullptr);

  // A periodic report is filed with the next flush once a minute has passed.
  ASSERT_EQ(hive->SaveLocalFile(), Storage::kStatusOk);
  monotonic += Statistics::kReportIntervalNs;
  EXPECT_EQ(hive->SaveLocalIfDirty(), Storage::kStatusOk);
  ASSERT_EQ(StoredLocal(kSystem)["statistics"].size(), 1u);

  // Switching off files the final report and ends the session.
  ASSERT_EQ(hive->SetValue(P("windows.velder.statistics_on"), false, Admin(kSystem), "c"), ResultCode::Success);
  EXPECT_FALSE(hive->statistics_on());
  EXPECT_EQ(statistics.CurrentSession(), nullptr);
  EXPECT_EQ(hive->local_document()["statistics"].size(), 2u);
  ASSERT_EQ(hive->SetValue(P("windows.velder.statistics_on"), true, Admin(kSystem), "c"), ResultCode::Success);

  // A value that is no boolean is ignored, and said so once.
  json schema = TestSchema();
  schema["windows"]["properties"]["velder"]["properties"]["statistics_on"] = {{"type", "string"}, {"default", "x"}};
  ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(schema)));
  {
    LogCapture log;
    ASSERT_TRUE(hive->UpdateEffectiveSettings(std::nullopt, false));
    ASSERT_TRUE(hive->UpdateEffectiveSettings(std::nullopt, false));
    EXPECT_EQ(log.Count("Ignored 'windows.velder.statistics_on' of hive 'S-1-5-18': \"x\" is not a boolean"), 1u)
        << log.Text();
  }
  EXPECT_TRUE(hive->statistics_on()) << "kept as it was";
  // Without the setting, statistics are off.
  schema["windows"]["properties"]["velder"]["properties"].erase("statistics_on");
  ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(schema)));
  ASSERT_TRUE(hive->UpdateEffectiveSettings(std::nullopt, false));
  EXPECT_FALSE(hive->statistics_on());
  EXPECT_EQ(statistics.CurrentSession(), nullptr);

  // A user hive's setting of the same name switches nothing.
  WriteBase(kUser, BaseWith(TestSchema(), json::parse(R"({"windows": {"velder": {"statistics_on": true}}})")));
  auto user_hive = MakeHive(kUser, &statistics);
  EXPECT_FALSE(user_hive->statistics_on());
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

  // A hive that goes wakes the update loop; what it saved is what a restarted service serves.
  update_event_.Reset();
  hive.reset();
  EXPECT_TRUE(update_event_.IsSet());
  hive = MakeHive();
  EXPECT_EQ(hive->effective_document()["a"], 9);
  EXPECT_FALSE(hive->local_created());
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
  const Case cases[] = {
      {"everything", true, true, true, true, true},        {"no schedule asked", true, true, true, false, false},
      {"not connected", false, true, true, true, false},   {"patches off", true, false, true, true, false},
      {"nothing to send", true, true, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json local = {{"metadata", {{"etag", c.etag ? "e" : ""}, {"next_check", Now() + 1000}}}};
    if (c.has_patch) local["patch"] = {{"a", 3}};
    WriteLocal(kUser, local);
    auto hive = MakeHiveWithBase();
    // Changes that never reached the server make a loaded hive due at once.
    EXPECT_EQ(hive->next_check(), c.etag && c.has_patch ? Now() : Now() + 1000);
    hive->SetPollInterval(1000);
    hive->SetNextUpdateCheck(Settings::kStatusFetched);
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

  const struct {
    const char* user;
    const char* shown;
  } names[] = {
      {"S-1-5-123", "S-1-5-123"},
      {"S-1-5-1234", "S..-5-1234"},
      {"", ""},
      {"\u00e9bcdefghij\u00e9", "\u00e9..efghij\u00e9"},  // characters, not bytes
  };
  for (const auto& n : names) {
    SCOPED_TRACE(n.user);
    EXPECT_EQ(Settings::MakeDisplayName(n.user), n.shown);
  }
}

TEST_F(SettingsDocumentsTest, JitterIsBelowOneFifthAndRepeatable) {
  auto hive = MakeHiveWithBase();
  hive->jitter = -1;  // draw
  hive->SeedRandomForTesting(7);
  std::vector<double> first;
  for (int i = 0; i < 2000; ++i) {
    const double f = hive->NextJitter();
    ASSERT_GE(f, 0.0);
    ASSERT_LT(f, 0.2);
    first.push_back(f);
  }
  EXPECT_LT(*std::min_element(first.begin(), first.end()), 0.01);
  EXPECT_GT(*std::max_element(first.begin(), first.end()), 0.19);
  hive->SeedRandomForTesting(7);
  for (double f : first) ASSERT_EQ(hive->NextJitter(), f);
}

}  // namespace
}  // namespace settings_testing
