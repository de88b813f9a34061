// What a hive answers Success for is in its journal before the answer and
// comes back when the hive is loaded without a save in between; what cannot
// be journalled is refused and changes nothing.
#include <filesystem>

#include "settings_test_support.h"
#include "store/change_journal.h"

namespace settings_testing {
namespace {

namespace fs = std::filesystem;

class SettingsJournalTest : public HiveTest {
 protected:
  std::string JournalOf(const std::string& user = kUser) { return FileOf(user, "local") + ".journal"; }
};

TEST_F(SettingsJournalTest, AnsweredChangesSurviveALoadWithoutASave) {
  WriteLocal(kUser, {{"patch", {{"a", 9}, {"grp", {{"b", 4}}}}}});
  auto hive = MakeHiveWithBase();
  ASSERT_EQ(hive->SetValue(P("a"), 50, Owner(), "c"), ResultCode::Success);
  ASSERT_EQ(hive->SetValue(P("arr.1.n"), 20, Owner(), "c"), ResultCode::Success);
  ASSERT_EQ(hive->DeleteValue(P("grp.b"), Owner(), "c"), ResultCode::Success);
  ASSERT_EQ(hive->SetLocalConstraints(P("s"), Settings::kConstraintAdminOnly, Admin(), "c"), ResultCode::Success);
  const json effective = hive->effective_document();
  const json local = hive->local_document();
  hive.reset();  // a crash: nothing was saved

  auto reloaded = MakeHive();
  EXPECT_EQ(reloaded->effective_document(), effective);
  EXPECT_EQ(reloaded->local_document(), local);
  EXPECT_TRUE(reloaded->dirty());  // the next save takes the replayed changes in

  // The save holds everything and empties the journal.
  ASSERT_EQ(reloaded->SaveLocalIfDirty(), Storage::kStatusOk);
  EXPECT_EQ(fs::file_size(JournalOf()), 0u);
  EXPECT_EQ(StoredLocal(), local);
}

TEST_F(SettingsJournalTest, AChangeThatCannotBeJournalledIsRefusedAndUndone) {
  WriteLocal(kUser, {{"patch", {{"a", 9}}}, {"local", {{"mine", 1}}}});
  // Neither readable nor movable aside: the hive must not append behind it.
  fs::create_directories(JournalOf());
  fs::create_directories(JournalOf() + ".corrupt");
  auto hive = MakeHiveWithBase();
  const json local = hive->local_document();
  const json effective = hive->effective_document();
  EXPECT_EQ(hive->SetValue(P("a"), 50, Owner(), "c"), ResultCode::GenericFailure);
  EXPECT_EQ(hive->SetValue(P("arr.0.n"), 5, Owner(), "c"), ResultCode::GenericFailure);
  EXPECT_EQ(hive->DeleteValue(P("a"), Owner(), "c"), ResultCode::GenericFailure);
  EXPECT_EQ(hive->DeleteValue(P("mine"), Owner(), "c"), ResultCode::GenericFailure);
  EXPECT_EQ(hive->SetLocalConstraints(P("s"), Settings::kConstraintAdminOnly, Admin(), "c"),
            ResultCode::GenericFailure);
  EXPECT_EQ(hive->local_document(), local);
  EXPECT_EQ(hive->effective_document(), effective);
  EXPECT_TRUE(notifier_.TakeLines().empty());
  EXPECT_FALSE(hive->dirty());
}

}  // namespace
}  // namespace settings_testing
