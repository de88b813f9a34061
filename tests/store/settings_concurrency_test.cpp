// Several threads use one hive at once, the way request threads, the worker
// thread and the update thread do, while new base documents arrive. Meant to
// run under ThreadSanitizer as well; afterwards the hive must still be
// consistent with its documents and with what it saved.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "store/settings_test_support.h"

namespace settings_testing {
namespace {

class SettingsConcurrencyTest : public HiveTest {};

TEST_F(SettingsConcurrencyTest, WritersReadersAndNewBasesTogether) {
  const json schema_a = TestSchema();
  json schema_b = TestSchema();
  schema_b["grp"]["properties"]["b"]["readonly"] = true;
  schema_b["extra"] = {{"type", "integer"}, {"default", 4}};
  WriteLocal(kUser, json{{"metadata", {{"etag", "e"}}}});
  auto hive = MakeHiveWithBase({{"a", 5}});
  constexpr int kRounds = 200;
  std::atomic<bool> failed{false};
  auto check = [&failed](bool ok) {
    if (!ok) failed = true;
  };

  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      const std::string channel = "writer" + std::to_string(w);
      for (int i = 0; i < kRounds; ++i) {
        const ResultCode set = hive->SetValue(P("a"), i % 90, Owner(), channel);
        check(set == ResultCode::Success);
        hive->SetValue(P("grp"), json{{"b", i}, {"mine", w}}, Owner(), channel);  // refused while "b" is read-only
        check(hive->SetValue(P("arr.1.n"), i, Owner(), channel) == ResultCode::Success);
        check(hive->SetValue(P("free.w" + std::to_string(w)), i, Owner(), channel) == ResultCode::Success);
        if (i % 7 == 0) check(hive->DeleteValue(P("a"), Owner(), channel) == ResultCode::Success);
      }
    });
  }
  threads.emplace_back([&] {
    json value;
    std::vector<Settings::Entry> entries;
    for (int i = 0; i < kRounds * 2; ++i) {
      check(hive->GetValue(P(""), value, Reader()) == ResultCode::Success && value.contains("grp"));
      check(hive->Enumerate("arr", Reader(), entries) == ResultCode::Success && entries.size() == 3);
      hive->GetConstraints(P("grp.b"));
      check(hive->GetProduct() == "prod");
      hive->connected();
      hive->next_check();
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds / 4; ++i) {
      // As the update thread does; writers may come between the new base
      // and its rebuild, and must then rebuild the whole document.
      const json& schema = i % 2 == 0 ? schema_b : schema_a;
      if (i % 3 == 0) {
        hive->UpdateStart();
        check(hive->UpdateFinishData(BaseWith(schema, {{"a", i}}).dump(), "\"e\"", false));
        hive->UpdateEnd();
      } else {
        check(hive->ApplyBaseSettings(BaseWith(schema, {{"a", i}})));
        std::this_thread::yield();
        hive->WriteConnectionStatus(true, true);
      }
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      check(hive->SetLocalConstraints(P("grp.c"), i % 2 == 0 ? 2 : 0, Admin(), "admin") == ResultCode::Success);
      hive->SaveLocalIfDirty();  // saves write a copy while the others go on
      hive->SetNextUpdateCheck(i % 9);
      hive->IsInactive();
      hive->UpdateNow();
    }
  });
  for (std::thread& t : threads) t.join();
  EXPECT_FALSE(failed.load());

  const json settled = hive->effective_document();
  ASSERT_TRUE(hive->UpdateEffectiveSettings(std::string(), false));
  EXPECT_EQ(hive->effective_document(), settled);
  ASSERT_EQ(hive->SaveLocalFile(), Storage::kStatusOk);
  EXPECT_EQ(MakeHive()->effective_document(), settled);
  EXPECT_EQ(settled["arr"][1]["n"], kRounds - 1);
}

}  // namespace
}  // namespace settings_testing
