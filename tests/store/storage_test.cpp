#include "store/storage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/utf.h"
#include "store/hive_file_parser.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::LogCapture;
using testing_support::ReadFile;
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

  testing_support::TempDir dir_;
  Storage storage_{dir_.path().string()};
};

TEST_F(StorageTest, FileNamesStayInsideTheDataFolder) {
  EXPECT_EQ(Storage(dir_.path().string() + "/").GetFileName("tarn", "S-1-22-1-1000", "local"),
            dir_.File("tarn.S-1-22-1-1000.local.velder"));
  for (const auto& [product, user, kind] : std::vector<std::array<const char*, 3>>{
           {"tarn", "../../etc/passwd", "base"}, {"tarn", "S-1-5-18.x", "local"}, {"tarn", "", "local"},
           {"a/b", "S-1-5-18", "base"}, {"", "S-1-5-18", "base"}, {"tarn", "S-1-5-18", "../base"}}) {
    SCOPED_TRACE(std::string(product) + " | " + user + " | " + kind);
    EXPECT_EQ(storage_.GetFileName(product, user, kind), "");
  }
  // Nothing can be written, read or deleted through a refused name.
  EXPECT_EQ(storage_.SaveLocal("tarn", "../x", json::object()), Storage::kStatusFailed);
  EXPECT_EQ(storage_.SaveBase("tarn", "S-1-5-18/../x", json::object()), Storage::kStatusFailed);
  EXPECT_TRUE(storage_.LoadLocal("tarn", "../x").is_null());
  EXPECT_FALSE(storage_.DeleteBase("tarn", "../x"));
  EXPECT_FALSE(storage_.CopyInitialBaseFile("tarn", "../x", "/etc/hostname"));
  EXPECT_TRUE(FolderEntries().empty());
}

TEST_F(StorageTest, SavedDocumentsAreCompactAndPrivateAndEachSaveKeepsThePreviousOne) {
  const json local = {{"local", {{"a", 1}}}, {"patch", json::object()}, {"text", "caf\xC3\xA9"}};
  const json base = {{"data", {{"eff_schema", json::object()}, {"values", {{"x", {1, 2}}}}}}};
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, local), Storage::kStatusOk);
  ASSERT_EQ(storage_.SaveBase("tarn", kUser, base), Storage::kStatusOk);
  EXPECT_EQ(ReadFile(Local()), local.dump()) << "compact text";
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"tarn." + kUser + ".base.velder",
                                                       "tarn." + kUser + ".local.velder"}));
  EXPECT_EQ(fs::status(Local()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  for (int n = 1; n <= 3; ++n) ASSERT_EQ(storage_.SaveLocal("tarn", kUser, {{"n", n}}), Storage::kStatusOk);
  EXPECT_EQ(ReadFile(Local()), R"({"n":3})");
  EXPECT_EQ(ReadFile(Local() + ".bck"), R"({"n":2})");
  // The backup is a file of its own: rewriting the file leaves it alone.
  EXPECT_EQ(fs::hard_link_count(Local()), 1u);
  EXPECT_EQ(fs::hard_link_count(Local() + ".bck"), 1u);
}

TEST_F(StorageTest, LoadFallsBackToTheBackupAndSaysSo) {
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
    EXPECT_TRUE(log.Contains("Backup of file '" + Local() + "' used, some changes may be lost")) << log.Text();
  }
  // Neither file usable, or none there at all: null.
  WriteFile(Local(), "{");
  WriteFile(Local() + ".bck", "[");
  EXPECT_TRUE(storage_.LoadLocal("tarn", kUser).is_null());
  EXPECT_TRUE(storage_.LoadBase("tarn", kUser).is_null());
}

TEST_F(StorageTest, ByteOrderMarksAreHonoured) {
  const json expected = {{"name", "caf\xC3\xA9 \xF0\x9F\x98\x80"}, {"list", {1, 2, 3}}};
  const std::string utf8 = expected.dump();
  for (const std::string& bytes :
       {utf8, "\xEF\xBB\xBF" + utf8, "\xFF\xFE" + platform::Utf8ToUtf16LeBytes(utf8)}) {
    SCOPED_TRACE(bytes.substr(0, 3));
    WriteFile(Local(), bytes);
    EXPECT_EQ(storage_.LoadLocal("tarn", kUser), expected);
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
  const json loaded = storage_.LoadOnce(Local());
  ASSERT_TRUE(loaded.is_string());
  EXPECT_EQ(loaded.get_ref<const std::string&>().size(), Storage::kMaxFileSize - 2);
  // One byte more is refused without being read (the file may be sparse).
  ASSERT_EQ(::truncate(Local().c_str(), Storage::kMaxFileSize + 1), 0);
  EXPECT_TRUE(storage_.LoadOnce(Local()).is_null());
}

TEST_F(StorageTest, NeitherADamagedFileNorARefusedDocumentPushesTheGoodCopyOut) {
  const json first = {{"n", 1}}, second = {{"n", 2}};
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, first), Storage::kStatusOk);
  for (const std::string& damage : {std::string("{\"n\":"), std::string(""), std::string("null")}) {
    SCOPED_TRACE(damage);
    WriteFile(Local(), damage);
    WriteFile(Local() + ".bck", first.dump());
    ASSERT_EQ(storage_.SaveLocal("tarn", kUser, second), Storage::kStatusOk);
    EXPECT_EQ(json::parse(ReadFile(Local() + ".bck")), first);
    EXPECT_EQ(json::parse(ReadFile(Local())), second);
    // The damaged file is kept aside, not overwritten.
    EXPECT_EQ(ReadFile(Local() + ".unreadable"), damage);
  }
  // Likewise a file too large to load.
  ASSERT_EQ(::truncate(Local().c_str(), Storage::kMaxFileSize + 1), 0);
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, first), Storage::kStatusOk);
  EXPECT_EQ(fs::file_size(Local() + ".unreadable"), Storage::kMaxFileSize + 1);
  // A document too large to load again, or with text that is no UTF-8, is
  // not written at all.
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, second), Storage::kStatusOk);
  EXPECT_EQ(storage_.SaveLocal("tarn", kUser, {{"big", std::string(Storage::kMaxFileSize, 'x')}}),
            Storage::kStatusFailed);
  EXPECT_EQ(storage_.SaveLocal("tarn", kUser, {{"bad", "\xFF"}}), Storage::kStatusFailed);
  EXPECT_EQ(json::parse(ReadFile(Local())), second);
  EXPECT_EQ(json::parse(ReadFile(Local() + ".bck")), first);
}

TEST_F(StorageTest, DeleteBaseRemovesFileAndBackupOnly) {
  ASSERT_EQ(storage_.SaveBase("tarn", kUser, {{"n", 1}}), Storage::kStatusOk);
  ASSERT_EQ(storage_.SaveBase("tarn", kUser, {{"n", 2}}), Storage::kStatusOk);
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, {{"n", 3}}), Storage::kStatusOk);
  EXPECT_TRUE(storage_.DeleteBase("tarn", kUser));
  EXPECT_TRUE(storage_.DeleteBase("tarn", kUser));  // nothing left to delete is fine
  EXPECT_EQ(FolderEntries(), std::vector<std::string>{"tarn." + kUser + ".local.velder"});

  // A base that cannot be deleted keeps its backup: it may be the only good copy.
  fs::create_directory(Base());
  WriteFile(Base() + "/inside", "x");
  WriteFile(Base() + ".bck", R"({"n":1})");
  EXPECT_FALSE(storage_.DeleteBase("tarn", kUser));
  EXPECT_TRUE(fs::exists(Base() + ".bck"));
}

TEST_F(StorageTest, InitialBaseFileIsCopiedOnlyWhenThereIsNone) {
  const std::string source = dir_.File("initial.json");
  WriteFile(source, R"({"data":{"eff_schema":{}}})");
  EXPECT_TRUE(storage_.CopyInitialBaseFile("tarn", "S-1-5-18", source));
  const std::string base = storage_.GetFileName("tarn", "S-1-5-18", "base");
  // The server's base file is never replaced.
  ASSERT_EQ(storage_.SaveBase("tarn", "S-1-5-18", {{"server", true}}), Storage::kStatusOk);
  EXPECT_FALSE(storage_.CopyInitialBaseFile("tarn", "S-1-5-18", source));
  EXPECT_EQ(ReadFile(base), R"({"server":true})");
  // A missing source leaves nothing behind.
  EXPECT_FALSE(storage_.CopyInitialBaseFile("tarn", kUser, dir_.File("missing.json")));
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

// The fast hive file parser against the general one: where it takes a text,
// the document must be exactly the general parser's; what that refuses, it
// refuses too. `fast`: it must take the text (else it may leave it).
TEST(HiveFileParserTest, TakesWhatTheGeneralParserTakesAndNothingElse) {
  const std::pair<std::string, bool> cases[] = {
      {R"({"a":1,"b":-2,"c":1.5,"d":"x","e":true,"f":false,"g":null,"h":[],"i":{}})", true},
      {" \t\r\n{\"z\":[1,{\"y\":[]}],\"b\":0} \n", true}, {R"({"a":1,"a":{"x":2}})", true},  // the later wins
      {R"({"a":{"x":1},"b":2,"a":3})", true}, {R"("\u00e9\ud83d\ude00\n\t\"\\\/\b\f\r")", true},
      {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\"", true}, {"\xEF\xBB\xBF{}", true},
      {"18446744073709551615", true}, {"-9223372036854775808", true}, {"-0", true}, {"-0.0", true}, {"0.1e1", true},
      {"1E+2", true}, {"1e308", true}, {"18446744073709551616", false}, {"-9223372036854775809", false},
      {"4.9e-324", false}, {"1e-400", false}, {"\"\\u0000\"", false},
      {std::string(300, '[') + std::string(300, ']'), false},
      // Refused by both.
      {"", false}, {" ", false}, {"{", false}, {"{\"a\"}", false}, {"{\"a\":1,}", false}, {"[1,]", false},
      {"[1 2]", false}, {"01", false}, {"+1", false}, {"1.", false}, {".5", false}, {"1e", false}, {"--1", false},
      {"tru", false}, {"nul", false}, {"{} x", false}, {"{}{}", false}, {"\"abc", false}, {"\"\x01\"", false},
      {"\"\\ud800\"", false}, {"\"\\udc00\"", false}, {"\"\\ud800\\u0041\"", false}, {"\"\\u12\"", false},
      {"\"\\q\"", false}, {"\"\xC0\x80\"", false}, {"\"\xED\xA0\x80\"", false}, {"\"\xF4\x90\x80\x80\"", false},
      {"\"\xFF\"", false}, {"\"\xE2\x82\"", false}, {"1e309", false}, {std::string("{}\0", 3), false},
      {"\xEF\xBB{}", false},
  };
  for (const auto& [text, fast] : cases) {
    SCOPED_TRACE(text);
    json taken, general;
    const bool took = HiveFileParser::Parse(text, taken);
    EXPECT_TRUE(took || !fast) << "left to the general parser";
    bool parsed = true;
    try {
      general = json::parse(text);
    } catch (const json::exception&) {
      parsed = false;
    }
    EXPECT_TRUE(!took || (parsed && HiveFileParser::SameDocument(taken, general))) << taken.dump();
    if (parsed) {
      EXPECT_TRUE(HiveFileParser::SameDocument(HiveFileParser::ParseOrThrow(text), general));
    } else {
      EXPECT_THROW(HiveFileParser::ParseOrThrow(text), json::exception);
    }
  }
}

}  // namespace
