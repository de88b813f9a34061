#include "settings_database.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace settings_server {
namespace {

using nlohmann::json;

TEST(SettingsDatabaseTest, EverythingAcknowledgedSurvivesReopening) {
  testing_support::TempDir dir;
  const std::string file = dir.File("settings.db");
  const ClientKey client{"lab1", "S-1-5-18"};
  std::string pnsId;
  {
    std::string error;
    auto db = SettingsDatabase::Open(file, error);
    ASSERT_TRUE(db) << error;
    ASSERT_EQ(db->AddMachine({"lab1", "hash1", 100}), DbResult::kOk);
    EXPECT_EQ(db->AddMachine({"lab1", "hash2", 100}), DbResult::kExists);
    EXPECT_EQ(db->AddMachine({"lab2", "hash1", 100}), DbResult::kExists);
    ClientRecord record;
    EXPECT_EQ(db->EnsureClient({"nobody", "S-1-5-18"}, record), DbResult::kNotFound);
    ASSERT_EQ(db->EnsureClient(client, record), DbResult::kOk);
    pnsId = record.pnsId;
    ASSERT_FALSE(pnsId.empty());
    ASSERT_EQ(db->AddToken("tokenhash", client, 500, 100), DbResult::kOk);
    ASSERT_EQ(db->SetClientDisabled(client, true), DbResult::kOk);
    ASSERT_EQ(db->SetReportedPnsId(client, "reported"), DbResult::kOk);
    ASSERT_EQ(db->PutProduct("tarn", {json{{"a", {{"type", "integer"}}}}, json{{"a", 1}}}), DbResult::kOk);
    EXPECT_EQ(db->EditOverrides(client, "none", [](const ProductRecord&, json&) { return true; }),
              DbResult::kNotFound);
    ASSERT_EQ(db->EditOverrides(client, "tarn",
                                [](const ProductRecord&, json& v) {
                                  v["a"] = 2;
                                  return true;
                                }),
              DbResult::kOk);
    // An edit that declines stores nothing, even what it changed.
    ASSERT_EQ(db->EditOverrides(client, "tarn",
                                [](const ProductRecord&, json& v) {
                                  v["a"] = 3;
                                  return false;
                                }),
              DbResult::kOk);
    db->NoteRequest(client, 123, "10.0.0.1");
  }
  std::string error;
  auto db = SettingsDatabase::Open(file, error);
  ASSERT_TRUE(db) << error;
  EXPECT_EQ(db->MachineForSecretHash("hash1"), "lab1");
  auto record = db->FindClient(client);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->pnsId, pnsId);
  EXPECT_TRUE(record->disabled);
  EXPECT_EQ(record->reportedPnsId, "reported");
  EXPECT_EQ(record->lastRequest, 123);
  EXPECT_EQ(record->lastAddress, "10.0.0.1");
  EXPECT_EQ(db->FindToken("tokenhash")->expires, 500);
  EXPECT_EQ(db->FindProduct("tarn")->values, json({{"a", 1}}));
  EXPECT_EQ(db->Overrides(client, "tarn"), json({{"a", 2}}));
  EXPECT_EQ(db->ClientsOfProduct("tarn"), std::vector<ClientKey>{client});

  // A new token drops the expired ones.
  ASSERT_EQ(db->AddToken("second", client, 1000, 600), DbResult::kOk);
  EXPECT_FALSE(db->FindToken("tokenhash"));

  // A machine goes with its clients, tokens and values.
  ASSERT_EQ(db->RemoveMachine("lab1"), DbResult::kOk);
  db.reset();
  db = SettingsDatabase::Open(file, error);
  EXPECT_FALSE(db->FindClient(client));
  EXPECT_FALSE(db->FindToken("second"));
  EXPECT_TRUE(db->ClientsOfProduct("tarn").empty());
  EXPECT_FALSE(db->MachineForSecretHash("hash1"));
}

TEST(SettingsDatabaseTest, OpenRefusesAFileThatIsNotADatabase) {
  testing_support::TempDir dir;
  testing_support::WriteFile(dir.File("settings.db"), std::string(4096, 'x'));
  std::string error;
  EXPECT_FALSE(SettingsDatabase::Open(dir.File("settings.db"), error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace settings_server
