#include <gtest/gtest.h>

#include "store/settings_test_support.h"

namespace settings_testing {
namespace {

class SettingsValuesTest : public HiveTest {
 protected:
  json Get(Settings& hive, const std::string& path) {
    json value;
    EXPECT_EQ(hive.GetValue(P(path), value, Reader()), ResultCode::Success) << path;
    return value;
  }
  json Patch(Settings& hive) { return hive.local_document().value("patch", json::object()); }
  json Local(Settings& hive) { return hive.local_document().value("local", json::object()); }
};

// Refusals, and values already in effect, change nothing at all.
TEST_F(SettingsValuesTest, RefusalsComeBeforeAnyChange) {
  auto hive = MakeHiveWithBase({{"a", 5}});
  const json before = hive->local_document();
  struct Case {
    const char* name;
    std::string path;
    json value;
    RequestContext request;
    ResultCode expected;
  };
  const Case cases[] = {
      {"no write right", "a", 5, Reader(), ResultCode::AccessDenied},
      {"read-only setting", "ro", 7, Admin(), ResultCode::NotAllowed},
      {"below a read-only setting", "ro.x", 1, Admin(), ResultCode::NotAllowed},
      {"above the maximum", "a", 101, Owner(), ResultCode::SchemaViolation},
      {"element that does not exist: arrays never grow", "nums.3", 1, Owner(), ResultCode::NotAllowed},
      {"element of an array that is no array", "grp.0", 1, Owner(), ResultCode::NotAllowed},
      {"no setting at all inside an array element", "nums.1.x", 1, Owner(), ResultCode::SchemaViolation},
      {"the base's value", "a", 5, Owner(), ResultCode::Success},
      {"a nested subset", "grp", json{{"inner", {{"d", "d"}}}}, Owner(), ResultCode::Success},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hive->SetValue(P(c.path), c.value, c.request, "chan"), c.expected);
  }
  EXPECT_EQ(hive->local_document(), before);
  EXPECT_FALSE(hive->dirty());
  EXPECT_TRUE(notifier_.Take().empty());
}

TEST_F(SettingsValuesTest, DescribedValuesGoToPatchAndTheRestToLocal) {
  auto hive = MakeHiveWithBase({{"a", 5}});
  ASSERT_EQ(hive->SetValue(P("grp"), json{{"b", 9}, {"extra", "e"}}, Owner(), "chan"), ResultCode::Success);
  EXPECT_EQ(Patch(*hive), json({{"grp", {{"b", 9}}}}));
  EXPECT_EQ(Local(*hive), json({{"grp", {{"extra", "e"}}}}));
  // The schema's members win; the undescribed member shows through beside them.
  EXPECT_EQ(Get(*hive, "grp"), json({{"b", 9}, {"c", false}, {"extra", "e"}, {"inner", {{"d", "d"}}}}));
  EXPECT_EQ(notifier_.TakeLines("chan"), (std::vector<std::string>{"grp.b=9", "grp.extra=\"e\""}));
  EXPECT_TRUE(hive->dirty());
}

TEST_F(SettingsValuesTest, ArrayElementsAreReplacedInAWholeCopy) {
  auto hive = MakeHiveWithBase();
  ASSERT_EQ(hive->SetValue(P("arr.2.n"), 9, Owner(), "chan"), ResultCode::Success);
  EXPECT_EQ(Patch(*hive), json::parse(R"({"arr": [{"n": 1}, {"n": 2}, {"n": 9}]})"));
  EXPECT_EQ(Get(*hive, "arr.2"), json({{"n", 9}}));
  // Arrays are compared whole: one notification for the array.
  EXPECT_EQ(notifier_.TakeLines(), (std::vector<std::string>{R"(arr=[{"n":1},{"n":2},{"n":9}])"}));

  ASSERT_EQ(hive->SetValue(P("nums.00"), 7.5, Owner(), "chan"), ResultCode::Success);
  EXPECT_EQ(Get(*hive, "nums"), json::parse("[7.5, 2, 3]"));
  EXPECT_EQ(hive->SetValue(P("nums.1"), "two", Owner(), "chan"), ResultCode::SchemaViolation);
}

TEST_F(SettingsValuesTest, FailedWriteLeavesLocalDocumentAndJournalExactlyAsBefore) {
  // "grp" is a plain value in "local" (an edited file): the undescribed part
  // of an object cannot be stored below it, after the described part was.
  WriteLocal(kUser, json::parse(R"({"local": {"grp": 5, "keep": {"k": 1}}, "patch": {"a": 3},
                                    "metadata": {"etag": "e1"}})"));
  auto hive = MakeHiveWithBase();
  hive->UpdateStart();
  const json before = hive->local_document();
  EXPECT_EQ(hive->SetValue(P("grp"), json{{"b", 8}, {"other", 1}}, Owner(), "chan"), ResultCode::InvalidType);
  EXPECT_EQ(hive->local_document(), before);
  EXPECT_EQ(hive->update_journal(), json::object());
  EXPECT_EQ(Get(*hive, "grp.b"), 2);
  EXPECT_FALSE(hive->dirty());
  EXPECT_TRUE(notifier_.Take().empty());

  // The same write of the described part alone works and is journalled.
  ASSERT_EQ(hive->SetValue(P("grp"), json{{"b", 8}}, Owner(), "chan"), ResultCode::Success);
  EXPECT_EQ(hive->update_journal(), json({{"grp", {{"b", 8}}}}));
  EXPECT_EQ(Patch(*hive), json({{"a", 3}, {"grp", {{"b", 8}}}}));
}

TEST_F(SettingsValuesTest, AdminOnlyPathsBindEveryoneButAdministrators) {
  auto hive = MakeHiveWithBase();
  ASSERT_EQ(hive->SetValue(P("u"), json{{"b", {{"x", 1}}}, {"c", 0}}, Admin(), "admin"), ResultCode::Success);
  ASSERT_EQ(hive->SetLocalConstraints(P("u.b"), Settings::kConstraintAdminOnly, Admin(), "admin"), ResultCode::Success);
  notifier_.Take();
  struct Case {
    const char* name;
    bool remove;
    std::string path;
    json value;
    ResultCode for_owner;
  };
  const Case cases[] = {
      {"the mark itself", false, "u.b", 1, ResultCode::NotAllowed},
      {"an object reaching the mark", false, "u", json{{"b", 1}}, ResultCode::NotAllowed},
      {"delete above an existing mark", true, "u", nullptr, ResultCode::NotAllowed},
      {"delete the mark", true, "u.b", nullptr, ResultCode::NotAllowed},
      {"a plain value beside the mark", false, "u.c", 2, ResultCode::Success},
      {"an object that drops the mark", false, "u", json{{"c", 1}}, ResultCode::NotAllowed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const json before = hive->local_document();
    const ResultCode owner =
        c.remove ? hive->DeleteValue(P(c.path), Owner(), "chan") : hive->SetValue(P(c.path), c.value, Owner(), "chan");
    EXPECT_EQ(owner, c.for_owner);
    if (owner != ResultCode::Success) {
      EXPECT_EQ(hive->local_document(), before);
    }
  }
  EXPECT_EQ(hive->GetConstraints(P("u.b.c")), Settings::kConstraintAdminOnly);
  EXPECT_EQ(hive->local_document()["local"]["u"], json({{"b", {{"x", 1}}}, {"c", 2}}));
  EXPECT_EQ(hive->GetConstraints(P("u")), 0u);

  // An administrator may do all of it.
  EXPECT_EQ(hive->SetValue(P("u"), json{{"b", 1}}, Admin(), "admin"), ResultCode::Success);
  EXPECT_EQ(hive->DeleteValue(P("u"), Admin(), "admin"), ResultCode::Success);
  // With the marked value gone, the owner may delete above it again.
  ASSERT_EQ(hive->SetValue(P("v"), json{{"w", 1}}, Owner(), "chan"), ResultCode::Success);
  EXPECT_EQ(hive->DeleteValue(P("v"), Owner(), "chan"), ResultCode::Success);
}

TEST_F(SettingsValuesTest, DamagedAdminOnlyListsFailClosedAndBadEntriesAreSkipped) {
  struct Case {
    const char* name;
    json list;
    uint32_t constraints_of_a;  // GetConstraints("q.a")
    ResultCode owner_write;     // SetValue("q.a")
  };
  const Case cases[] = {
      {"not an array", "q", Settings::kConstraintAdminOnly, ResultCode::NotAllowed},
      {"an entry that is no text", json::array({"x", 5}), Settings::kConstraintAdminOnly, ResultCode::NotAllowed},
      {"an entry that is no path", json::array({"q..a", "z"}), 0, ResultCode::Success},
      {"a path with leading zeros", json::array({"q.a.07"}), 0, ResultCode::Success},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteLocal(kUser, json{{"local_admin_only", c.list}});
    auto hive = MakeHiveWithBase();
    EXPECT_EQ(hive->GetConstraints(P("q.a")), c.constraints_of_a);
    EXPECT_EQ(hive->SetValue(P("q.a"), 1, Owner(), "chan"), c.owner_write);
    EXPECT_EQ(hive->SetValue(P("q.a"), 2, Admin(), "chan"), ResultCode::Success);
  }
}

TEST_F(SettingsValuesTest, LocalConstraints) {
  auto hive = MakeHiveWithBase();
  // Read-only comes from the schema only, also for administrators.
  EXPECT_EQ(hive->SetLocalConstraints(P("a"), 1, Admin(), "c"), ResultCode::NotAllowed);
  EXPECT_EQ(hive->SetLocalConstraints(P("a"), 3, Admin(), "c"), ResultCode::NotAllowed);
  EXPECT_EQ(hive->SetLocalConstraints(P("ro"), 2, Admin(), "c"), ResultCode::NotAllowed);
  EXPECT_EQ(hive->SetLocalConstraints(P("a"), 2, Owner(), "c"), ResultCode::AccessDenied);
  EXPECT_TRUE(notifier_.Take().empty());

  ASSERT_EQ(hive->SetLocalConstraints(P("grp.b"), 2, Admin(), "c"), ResultCode::Success);
  ASSERT_EQ(hive->SetLocalConstraints(P("grp.b"), 2, Admin(), "c"), ResultCode::Success);
  EXPECT_EQ(hive->local_document()["local_admin_only"], json::array({"grp.b"}));
  EXPECT_EQ(notifier_.TakeLines("c"), (std::vector<std::string>{"grp.b:2"}));
  EXPECT_TRUE(hive->dirty());
  EXPECT_EQ(hive->GetConstraints(P("ro")), 1u);
  EXPECT_EQ(hive->GetLocalConstraints(P("grp")), 0u);

  // Other bits change nothing; 0 removes.
  ASSERT_EQ(hive->SetLocalConstraints(P("grp.b"), 4, Admin(), "c"), ResultCode::Success);
  EXPECT_TRUE(notifier_.Take().empty());
  ASSERT_EQ(hive->SetLocalConstraints(P("grp.b"), 0, Admin(), "c"), ResultCode::Success);
  EXPECT_EQ(hive->local_document()["local_admin_only"], json::array());
  EXPECT_EQ(notifier_.TakeLines("c"), (std::vector<std::string>{"grp.b:0"}));
  ASSERT_EQ(hive->SetLocalConstraints(P("grp.b"), 0, Admin(), "c"), ResultCode::Success);
  EXPECT_TRUE(notifier_.Take().empty());
}

TEST_F(SettingsValuesTest, DeleteFallsBackToBaseAndDefault) {
  auto hive = MakeHiveWithBase({{"a", 5}});
  ASSERT_EQ(hive->SetValue(P("a"), 50, Owner(), "chan"), ResultCode::Success);
  ASSERT_EQ(hive->SetValue(P("only_local"), json{{"x", 1}, {"y", {{"z", 2}}}}, Owner(), "chan"), ResultCode::Success);
  notifier_.Take();

  ASSERT_EQ(hive->DeleteValue(P("a"), Owner(), "chan"), ResultCode::Success);
  EXPECT_EQ(Patch(*hive)["a"], nullptr);  // a null in the patch resets the setting...
  EXPECT_EQ(Get(*hive, "a"), 1);          // ...to its default, whatever the base says
  ASSERT_EQ(hive->DeleteValue(P("only_local"), Owner(), "chan"), ResultCode::Success);
  EXPECT_EQ(notifier_.TakeLines("chan"), (std::vector<std::string>{"a=1", "only_local.x=", "only_local.y.z="}));

  EXPECT_EQ(hive->DeleteValue(P("missing"), Owner(), "chan"), ResultCode::NotFound);
  EXPECT_EQ(hive->DeleteValue(P("a"), Reader(), "chan"), ResultCode::AccessDenied);
  EXPECT_EQ(hive->DeleteValue(P("ro"), Admin(), "chan"), ResultCode::SchemaViolation);
}

TEST_F(SettingsValuesTest, DeleteResetsTheJournalOnceAnExchangeStarted) {
  auto hive = MakeHiveWithBase();
  ASSERT_EQ(hive->SetValue(P("a"), 9, Owner(), "chan"), ResultCode::Success);
  ASSERT_EQ(hive->DeleteValue(P("a"), Owner(), "chan"), ResultCode::Success);
  EXPECT_EQ(hive->update_journal(), nullptr);  // no exchange yet: nothing recorded
  hive->UpdateStart();
  ASSERT_EQ(hive->SetValue(P("s"), "yy", Owner(), "chan"), ResultCode::Success);
  ASSERT_EQ(hive->DeleteValue(P("s"), Owner(), "chan"), ResultCode::Success);
  EXPECT_EQ(hive->update_journal(), json({{"s", nullptr}}));
}

TEST_F(SettingsValuesTest, GetAndEnumerate) {
  auto hive = MakeHiveWithBase();
  json value;
  EXPECT_EQ(hive->GetValue(P(""), value, Reader()), ResultCode::Success);
  EXPECT_EQ(value, hive->effective_document());
  EXPECT_EQ(hive->GetValue(P("a"), value, RequestContext{}), ResultCode::AccessDenied);

  std::vector<Settings::Entry> entries;
  EXPECT_EQ(hive->Enumerate("nums", Reader(), entries), ResultCode::Success);
  using T = ValueType;
  EXPECT_EQ(entries, (std::vector<Settings::Entry>{{"0", T::Number}, {"1", T::Number}, {"2", T::Number}}));
  EXPECT_EQ(hive->Enumerate("grp", Reader(), entries), ResultCode::Success);
  EXPECT_EQ(entries, (std::vector<Settings::Entry>{{"b", T::Number}, {"c", T::Boolean}, {"inner", T::Object}}));
  EXPECT_EQ(hive->Enumerate("a..b", Reader(), entries), ResultCode::InvalidParameters);
  EXPECT_EQ(hive->Enumerate("zzz", Reader(), entries), ResultCode::NotFound);
}

}  // namespace
}  // namespace settings_testing
