// A client-authentication library that cannot be loaded: every hive is
// retried later, as after a failure of the library itself, and nothing
// crashes. A program of its own, because a library once loaded stays loaded.
#include <gtest/gtest.h>

#include <filesystem>

#include "manager/settings_manager_test_support.h"

namespace manager_testing {
namespace {

TEST_F(ManagerTest, MissingLibraryCountsAsATokenFailure) {
  TestEnvironment();
  std::filesystem::create_directories(dir_.path() / "no-libraries");
  ::setenv("HALVERN_LIB_DIR", dir_.File("no-libraries").c_str(), 1);

  auto hive = manager_->GetOrCreateHive(kAlice);
  LogCapture log;
  manager_->UpdateSettings(hive);
  EXPECT_EQ(hive->last_status_code(), Settings::kStatusBaseRejected);
  EXPECT_GE(hive->next_check(), Now() + 900);
  EXPECT_LE(hive->next_check(), Now() + 1080);
  EXPECT_TRUE(hive->dirty());
  EXPECT_TRUE(log.Contains("SettingsManager::UpdateSettings: GetBearerToken('S..-1-1001'): The library could not be "
                           "loaded"))
      << log.Text();
  EXPECT_EQ(manager_->server_comm().fail_count(), 0u);
  ::setenv("HALVERN_LIB_DIR", MAKER_LIBRARY_DIR, 1);
}

}  // namespace
}  // namespace manager_testing
