#include "store/storage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/utf.h"
#include "store/storage_log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using storage_testing::LogCapture;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const std::string kUser = "S-1-5-21-1";

class StorageTest : public testing::Test {
 protected:
  std::string Local() const { return storage_.GetFileName("tarn", kUser, "local"); }
  std::string Base() const { return storage_.GetFileName("tarn", kUser, "base"); }
  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  Storage storage_{dir_.path().string()};
};

TEST_F(StorageTest, FileNamesStayInsideTheDataFolder) {
  EXPECT_EQ(Storage(dir_.path().string() + "/").GetFileName("tarn", "S-1-22-1-1000", "local"),
            dir_.File("tarn.S-1-22-1-1000.local.velder"));
  struct Case {
    const char* product;
    const char* user;
    const char* kind;
  };
  for (const Case& c : {Case{"tarn", "../../etc/passwd", "base"}, Case{"tarn", "S-1-5-18/..", "base"},
                        Case{"tarn", "S-1-5-18.x", "local"}, Case{"tarn", "", "local"},
                        Case{"tarn", "SYSTEM", "local"}, Case{"..", "S-1-5-18", "base"},
                        Case{"a/b", "S-1-5-18", "base"}, Case{"", "S-1-5-18", "base"},
                        Case{"tarn", "S-1-5-18", "bck"}, Case{"tarn", "S-1-5-18", "../base"}}) {
    SCOPED_TRACE(std::string(c.product) + " | " + c.user + " | " + c.kind);
    LogCapture log;
    EXPECT_EQ(storage_.GetFileName(c.product, c.user, c.kind), "");
    EXPECT_TRUE(log.Contains("Refused a hive file name"));
  }

  // Nothing can be written or deleted through a refused name.
  LogCapture log;
  EXPECT_EQ(storage_.SaveLocal("tarn", "../x", json::object()), Storage::kStatusFailed);
  EXPECT_EQ(storage_.SaveBase("tarn", "S-1-5-18/../x", json::object()), Storage::kStatusFailed);
  EXPECT_TRUE(storage_.LoadLocal("tarn", "../x").is_null());
  EXPECT_FALSE(storage_.DeleteBase("tarn", "../x"));
  EXPECT_FALSE(storage_.CopyInitialBaseFile("tarn", "../x", "/etc/hostname"));
  EXPECT_TRUE(FolderEntries().empty());
}

TEST_F(StorageTest, SavedDocumentsSurviveARestartAsCompactText) {
  const json local = {{"local", {{"a", 1}}}, {"patch", json::object()}, {"text", "caf\xC3\xA9"}};
  const json base = {{"data", {{"eff_schema", json::object()}, {"values", {{"x", {1, 2}}}}}}};
  {
    LogCapture log;
    ASSERT_EQ(storage_.SaveLocal("tarn", kUser, local), Storage::kStatusOk);
    ASSERT_EQ(storage_.SaveBase("tarn", kUser, base), Storage::kStatusOk);
    EXPECT_EQ(log.Text(), "");  // a first save makes no backup and says nothing
  }
  EXPECT_EQ(ReadFile(Local()), local.dump());
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"tarn." + kUser + ".base.velder",
                                                       "tarn." + kUser + ".local.velder"}));
  EXPECT_EQ(fs::status(Local()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  Storage restarted(dir_.path().string());
  LogCapture log;
  EXPECT_EQ(restarted.LoadLocal("tarn", kUser), local);
  EXPECT_EQ(restarted.LoadBase("tarn", kUser), base);
  EXPECT_EQ(log.Text(), "");
}

TEST_F(StorageTest, EachSaveKeepsThePreviousDocumentAsBackup) {
  for (int n = 1; n <= 3; ++n) ASSERT_EQ(storage_.SaveLocal("tarn", kUser, {{"n", n}}), Storage::kStatusOk);
  EXPECT_EQ(ReadFile(Local()), R"({"n":3})");
  EXPECT_EQ(ReadFile(Local() + ".bck"), R"({"n":2})");
  // The backup is a file of its own: rewriting the file leaves it alone.
  EXPECT_EQ(fs::hard_link_count(Local()), 1u);
  EXPECT_EQ(fs::hard_link_count(Local() + ".bck"), 1u);
  EXPECT_EQ(FolderEntries().size(), 2u);
}

TEST_F(StorageTest, LoadFallsBackToTheBackupAndSaysWhy) {
  const json good = {{"good", true}};
  const std::vector<std::string> damaged = {
      "", R"({"local": {"a": [1, 2)", R"({} {})", "{\"a\": \"\xC3\x28\"}",  // bad UTF-8 in a string
      std::string("\xFF\xFE{\0}", 5),                                       // odd UTF-16LE
      std::string("\xFF\xFE\x00\xD8", 4),                                  // unpaired surrogate
      "\xEF\xBB\xBF",                                                      // only a byte-order mark
  };
  for (const std::string& content : damaged) {
    SCOPED_TRACE(content);
    WriteFile(Local() + ".bck", good.dump());
    WriteFile(Local(), content);
    LogCapture log;
    EXPECT_EQ(storage_.LoadLocal("tarn", kUser), good);
    EXPECT_TRUE(log.Contains("Failed to parse file '" + Local() + "'")) << log.Text();
    EXPECT_TRUE(log.Contains("Backup of file '" + Local() + "' used, some changes may be lost")) << log.Text();
  }
}

TEST_F(StorageTest, MissingFilesGiveNullWithoutAWord) {
  LogCapture log;
  EXPECT_TRUE(storage_.LoadLocal("tarn", kUser).is_null());
  EXPECT_TRUE(storage_.LoadBase("tarn", kUser).is_null());
  EXPECT_TRUE(Storage(dir_.File("no-such-folder")).LoadBase("tarn", kUser).is_null());
  EXPECT_EQ(log.Text(), "");

  // Neither file usable: null, and only the damage is reported.
  WriteFile(Local(), "{");
  WriteFile(Local() + ".bck", "[");
  LogCapture damaged;
  EXPECT_TRUE(storage_.LoadLocal("tarn", kUser).is_null());
  EXPECT_TRUE(damaged.Contains("Failed to parse file '" + Local() + "'"));
  EXPECT_TRUE(damaged.Contains("Failed to parse file '" + Local() + ".bck'"));
  EXPECT_FALSE(damaged.Contains("Backup of file"));
}

TEST_F(StorageTest, ByteOrderMarksAreHonoured) {
  const json expected = {{"name", "caf\xC3\xA9 \xF0\x9F\x98\x80"}, {"list", {1, 2, 3}}};
  const std::string utf8 = expected.dump();
  struct Case {
    const char* name;
    std::string bytes;
  };
  for (const Case& c : {Case{"plain UTF-8", utf8}, Case{"UTF-8 with mark", "\xEF\xBB\xBF" + utf8},
                        Case{"UTF-16LE with mark", "\xFF\xFE" + platform::Utf8ToUtf16LeBytes(utf8)}}) {
    SCOPED_TRACE(c.name);
    WriteFile(Local(), c.bytes);
    LogCapture log;
    EXPECT_EQ(storage_.LoadLocal("tarn", kUser), expected);
    EXPECT_EQ(log.Text(), "");
  }
  // Saving writes plain UTF-8 again, and the UTF-16 file became a good backup.
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, {{"n", 1}}), Storage::kStatusOk);
  EXPECT_EQ(ReadFile(Local()), R"({"n":1})");
  EXPECT_EQ(storage_.LoadOnce(Local() + ".bck"), expected);
}

TEST_F(StorageTest, FilesUpTo32MiBAreRead) {
  // A JSON string of exactly 32 MiB.
  std::string text(Storage::kMaxFileSize, 'a');
  text.front() = '"';
  text.back() = '"';
  WriteFile(Local(), text);
  text.clear();
  {
    LogCapture log;
    const json loaded = storage_.LoadOnce(Local());
    ASSERT_TRUE(loaded.is_string());
    EXPECT_EQ(loaded.get_ref<const std::string&>().size(), Storage::kMaxFileSize - 2);
    EXPECT_EQ(log.Text(), "");
  }
  // One byte more is refused without being read (the file may be sparse).
  ASSERT_EQ(::truncate(Local().c_str(), Storage::kMaxFileSize + 1), 0);
  LogCapture log;
  EXPECT_TRUE(storage_.LoadOnce(Local()).is_null());
  EXPECT_TRUE(log.Contains("Failed to open file '" + Local() + "', error=" + std::to_string(EFBIG))) << log.Text();
}

TEST_F(StorageTest, ADamagedFileNeverPushesTheGoodCopyOutOfTheBackup) {
  const json first = {{"n", 1}}, second = {{"n", 2}};
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, first), Storage::kStatusOk);
  for (const std::string& damage : {std::string("{\"n\":"), std::string(""), std::string("null")}) {
    SCOPED_TRACE(damage);
    WriteFile(Local(), damage);
    WriteFile(Local() + ".bck", first.dump());
    LogCapture log;
    ASSERT_EQ(storage_.SaveLocal("tarn", kUser, second), Storage::kStatusOk);
    EXPECT_TRUE(log.Contains("holds no document, its backup is kept")) << log.Text();
    EXPECT_EQ(json::parse(ReadFile(Local() + ".bck")), first);
    EXPECT_EQ(json::parse(ReadFile(Local())), second);
    // The damaged file is kept aside, not overwritten.
    EXPECT_EQ(ReadFile(Local() + ".unreadable"), damage);
  }
  // Likewise a file too large to load; and a document too large to load
  // again is not written at all.
  ASSERT_EQ(::truncate(Local().c_str(), Storage::kMaxFileSize + 1), 0);
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, first), Storage::kStatusOk);
  EXPECT_EQ(fs::file_size(Local() + ".unreadable"), Storage::kMaxFileSize + 1);
  LogCapture log;
  EXPECT_EQ(storage_.SaveLocal("tarn", kUser, {{"big", std::string(Storage::kMaxFileSize, 'x')}}),
            Storage::kStatusFailed);
  EXPECT_TRUE(log.Contains("Refused to write '" + Local() + "'")) << log.Text();
  EXPECT_EQ(json::parse(ReadFile(Local())), first);
}

TEST_F(StorageTest, DocumentsThatCannotBeWrittenAreRefused) {
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, {{"n", 1}}), Storage::kStatusOk);
  LogCapture log;
  // Not UTF-8: the JSON text would be invalid.
  EXPECT_EQ(storage_.SaveLocal("tarn", kUser, {{"bad", "\xFF"}}), Storage::kStatusFailed);
  EXPECT_TRUE(log.Contains("Failed to serialize the document for '" + Local() + "'")) << log.Text();
  EXPECT_EQ(ReadFile(Local()), R"({"n":1})");
  EXPECT_FALSE(fs::exists(Local() + ".bck"));
}

TEST_F(StorageTest, DeleteBaseRemovesFileAndBackupOnly) {
  ASSERT_EQ(storage_.SaveBase("tarn", kUser, {{"n", 1}}), Storage::kStatusOk);
  ASSERT_EQ(storage_.SaveBase("tarn", kUser, {{"n", 2}}), Storage::kStatusOk);
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, {{"n", 3}}), Storage::kStatusOk);
  {
    LogCapture log;
    EXPECT_TRUE(storage_.DeleteBase("tarn", kUser));
    EXPECT_TRUE(storage_.DeleteBase("tarn", kUser));  // nothing left to delete is fine
    EXPECT_EQ(log.Text(), "");
  }
  EXPECT_EQ(FolderEntries(), std::vector<std::string>{"tarn." + kUser + ".local.velder"});

  // A base that cannot be deleted keeps its backup: it may be the only good copy.
  fs::create_directory(Base());
  WriteFile(Base() + "/inside", "x");
  WriteFile(Base() + ".bck", R"({"n":1})");
  LogCapture log;
  EXPECT_FALSE(storage_.DeleteBase("tarn", kUser));
  EXPECT_TRUE(log.Contains("Failed to delete '" + Base() + "'")) << log.Text();
  EXPECT_TRUE(fs::exists(Base() + ".bck"));
}

TEST_F(StorageTest, InitialBaseFileIsCopiedOnlyWhenThereIsNone) {
  const std::string source = dir_.File("initial.json");
  WriteFile(source, R"({"data":{"eff_schema":{}}})");
  {
    LogCapture log;
    EXPECT_TRUE(storage_.CopyInitialBaseFile("tarn", "S-1-5-18", source));
    EXPECT_EQ(log.Text(), "");
  }
  const std::string base = storage_.GetFileName("tarn", "S-1-5-18", "base");
  EXPECT_EQ(ReadFile(base), R"({"data":{"eff_schema":{}}})");

  // The server's base file is never replaced, and that is no error.
  ASSERT_EQ(storage_.SaveBase("tarn", "S-1-5-18", {{"server", true}}), Storage::kStatusOk);
  {
    LogCapture log;
    EXPECT_FALSE(storage_.CopyInitialBaseFile("tarn", "S-1-5-18", source));
    EXPECT_EQ(log.Text(), "");
  }
  EXPECT_EQ(ReadFile(base), R"({"server":true})");

  // A missing source is reported; nothing is left behind.
  LogCapture log;
  EXPECT_FALSE(storage_.CopyInitialBaseFile("tarn", kUser, dir_.File("missing.json")));
  EXPECT_TRUE(log.Contains("Failed to copy '" + dir_.File("missing.json") + "' -> '" + Base() +
                           "': " + std::to_string(ENOENT)))
      << log.Text();
  EXPECT_FALSE(fs::exists(Base()));
  EXPECT_FALSE(fs::exists(Base() + ".tmp"));
}

TEST_F(StorageTest, ListUsersNamesTheOwnersOfLocalFiles) {
  std::vector<Storage::UserEntry> users{{"stale", 7}};
  EXPECT_EQ(storage_.ListUsers(users), Storage::kStatusFailed);  // no local file at all
  EXPECT_EQ(users.size(), 1u);
  EXPECT_EQ(Storage(dir_.File("missing")).ListUsers(users), Storage::kStatusFailed);
  // Clients are answered with result codes; a status without its own is a failure, never a success.
  for (const uint32_t status : {Storage::kStatusFailed, 99u}) {
    EXPECT_EQ(Storage::ToResultCode(status), ResultCode::GenericFailure);
  }
  EXPECT_EQ(Storage::ToResultCode(Storage::kStatusOk), ResultCode::Success);

  // Only old files that name no SID: the listing ran, and it is empty.
  WriteFile(dir_.File("tarn.SYSTEM.local.velder"), "{}");
  EXPECT_EQ(storage_.ListUsers(users), Storage::kStatusOk);
  EXPECT_TRUE(users.empty());

  for (const char* name : {"tarn.S-1-5-21-1.local.velder", "other.S-1-5-21-1.local.velder",  // listed once
                           "tarn.S-1-5-18.local.velder", "tarn.S-1-22-1-1000.local.velder.tmp",
                           "tarn.S-1-5.21.local.velder", "tarn.a,b.local.velder", "tarn.S-1-5-21-2.LOCAL.velder",
                           "x.tarn.S-1-5-21-4.local.velder"}) {
    WriteFile(dir_.File(name), "{}");
  }
  EXPECT_EQ(storage_.ListUsers(users), Storage::kStatusOk);
  EXPECT_EQ(users, (std::vector<Storage::UserEntry>{{"S-1-5-18", 0}, {"S-1-5-21-1", 0}}));
}

}  // namespace
