// The journal's record format and its replay: torn and damaged tails, the
// part kept aside, and appends after a replay.
#include "store/change_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace {

using nlohmann::json;
using Change = ChangeJournal::Change;

std::string ThreeRecords() {
  return ChangeJournal::EncodeRecord({{{"patch", "a"}, json(1)}}) +
         ChangeJournal::EncodeRecord({{{"local", "b"}, json{{"c", "é"}}}, {{"patch", "a"}, std::nullopt}}) +
         ChangeJournal::EncodeRecord({{{}, json{{"patch", {{"z", true}}}}}});
}

TEST(ChangeJournalTest, SnapshotsAreEncodedAsTheirCopiesWouldBe) {
  const json document = {{"patch", {{"a", {{"b", {1, "x\n\"", nullptr}}}}}}, {"local", "not an object"}};
  const std::vector<std::vector<std::string>> cases[] = {
      {{"patch", "a"}},
      {{"patch", "a", "b"}, {"patch", "gone"}, {"local", "below a text"}},
      {{}},
      {{"ke\"y", "\xff"}},
  };
  for (const auto& key_paths : cases) {
    SCOPED_TRACE(json(key_paths).dump(-1, ' ', false, json::error_handler_t::replace));
    std::vector<Change> copies;
    for (const auto& keys : key_paths) copies.push_back(ChangeJournal::Snapshot(document, keys));
    const std::string record = ChangeJournal::EncodeSnapshots(document, key_paths);
    EXPECT_EQ(record, ChangeJournal::EncodeRecord(copies));
    ASSERT_EQ(ChangeJournal::Decode(record).records.size(), 1u);
  }
  // The checksum is CRC-32C, whichever way it is computed.
  EXPECT_EQ(ChangeJournal::Crc32c("123456789"), 0xE3069283u);
  const std::string long_text = "0123456789abcdefghijklmnopqrstuvwxyz";
  EXPECT_EQ(ChangeJournal::Crc32c(long_text.substr(11), ChangeJournal::Crc32c(long_text.substr(0, 11))),
            ChangeJournal::Crc32c(long_text));
}

TEST(ChangeJournalTest, DecodeTellsTornFromDamagedTails) {
  const std::string good = ThreeRecords();
  const size_t first = ChangeJournal::EncodeRecord({{{"patch", "a"}, json(1)}}).size();
  const size_t last_start = good.size() - ChangeJournal::EncodeRecord({{{}, json{{"patch", {{"z", true}}}}}}).size();
  auto flip = [&](size_t at) {
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x40);
    return bytes;
  };
  // A record whose checksums hold but whose payload is no list of changes.
  const std::string text = R"({"x":1})";
  std::string not_changes;
  for (uint32_t v : {static_cast<uint32_t>(text.size()), ChangeJournal::Crc32c(text), 0u}) {
    if (not_changes.size() == 8) v = ChangeJournal::Crc32c(not_changes);
    for (int i = 0; i < 4; ++i) not_changes.push_back(static_cast<char>(v >> (8 * i)));
  }
  not_changes += text;
  using Scan = ChangeJournal::Scan;
  const struct { const char* name; std::string bytes; size_t records; Scan::Tail tail; size_t good_bytes; } cases[] = {
      {"intact", good, 3, Scan::kClean, good.size()},
      {"empty", "", 0, Scan::kClean, 0},
      {"last payload cut", good.substr(0, good.size() - 3), 2, Scan::kTorn, last_start},
      {"last header cut", good.substr(0, last_start + 5), 2, Scan::kTorn, last_start},
      {"payload byte of the second", flip(first + ChangeJournal::kHeaderSize + 2), 1, Scan::kCorrupt, first},
      {"length of the second", flip(first + 1), 1, Scan::kCorrupt, first},
      {"zeros after the records", good + std::string(64, '\0'), 3, Scan::kCorrupt, good.size()},
      {"checked but no changes", good + not_changes, 3, Scan::kCorrupt, good.size()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ChangeJournal::Scan scan = ChangeJournal::Decode(c.bytes);
    EXPECT_EQ(scan.records.size(), c.records);
    EXPECT_EQ(scan.tail, c.tail);
    EXPECT_EQ(scan.good_bytes, c.good_bytes);
  }
}

TEST(ChangeJournalTest, ChangesAreAssignmentsThatReplayTwiceAlike) {
  json document = {{"patch", {{"a", 5}, {"keep", 1}}}, {"local", 3}};
  const std::string bytes =
      ThreeRecords() + ChangeJournal::EncodeRecord({{{"local", "x", "y"}, json(2)}, {{"metadata", "gone"}, {}}});
  const ChangeJournal::Scan scan = ChangeJournal::Decode(bytes);
  ASSERT_EQ(scan.records.size(), 4u);
  for (const json& record : scan.records) ASSERT_TRUE(ChangeJournal::ApplyRecord(record, document));
  // The whole-document record replaced everything before it; "local" was a
  // number and became the object its recorded member needs.
  const json expected = {{"patch", {{"z", true}}}, {"local", {{"x", {{"y", 2}}}}}};
  EXPECT_EQ(document, expected);
  for (const json& record : scan.records) ChangeJournal::ApplyRecord(record, document);
  EXPECT_EQ(document, expected);
  EXPECT_FALSE(ChangeJournal::ApplyRecord(json::array({json::array({json::array()})}), document));
}

TEST(ChangeJournalTest, ReplayKeepsTheDamagedPartAsideAndAppendsAfterTheGoodOnes) {
  testing_support::TempDir dir;
  const std::string local = (dir.path() / "tarn.S-1-5-18.local.velder").string();
  const std::string path = local + ".journal";
  const std::string good = ThreeRecords();
  const std::string damaged = "\x01\x02\x03\x04 not a record at all";
  testing_support::WriteFile(path, good + damaged);

  auto journal = ChangeJournal::ForLocalFile(local);
  ASSERT_NE(journal, nullptr);
  json document = json::object();
  EXPECT_EQ(journal->Replay(document), 3u);
  EXPECT_EQ(testing_support::ReadFile(path + ".corrupt"), damaged);
  ASSERT_TRUE(journal->Append({{{"patch", "after"}, json("x")}}));
  journal.reset();

  // The record appended after the replay is found behind the good ones; a
  // torn write at the end is dropped and cut away.
  std::ofstream(path, std::ios::app) << ChangeJournal::EncodeRecord({{{"patch", "torn"}, json(1)}}).substr(0, 20);
  ChangeJournal again(path);
  json reread = json::object();
  EXPECT_EQ(again.Replay(reread), 4u);
  EXPECT_EQ(reread["patch"], (json{{"z", true}, {"after", "x"}}));
  EXPECT_EQ(testing_support::ReadFile(path).size(), good.size() + ChangeJournal::EncodeRecord(
                                                                       {{{"patch", "after"}, json("x")}}).size());
  ASSERT_TRUE(again.Truncate());
  EXPECT_EQ(testing_support::ReadFile(path), "");
  EXPECT_EQ(testing_support::ReadFile(path + ".corrupt"), damaged);
}

}  // namespace
