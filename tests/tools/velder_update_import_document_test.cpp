// The import file of velder-update: which writes a document asks for, in
// which order, and which files are refused before anything is written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "tools/velder-update/import_document.h"

namespace velder_update {
namespace {

using nlohmann::json;

std::vector<std::pair<std::string, json>> Writes(const std::vector<ImportEntry>& entries) {
  std::vector<std::pair<std::string, json>> out;
  for (const auto& e : entries) out.emplace_back(e.path, e.value);
  return out;
}

TEST(ImportDocument, FlatAndNestedMembersGiveLeafWritesInFileOrder) {
  const struct {
    const char* text;
    std::vector<std::pair<std::string, json>> writes;
  } cases[] = {
      {R"({})", {}},
      // File order, not name order: the later member wins in the service.
      {R"({"z": 1, "a": 2, "z": 3})", {{"z", 3}, {"a", 2}}},
      // Dotted names inside nested objects extend the path the same way.
      {R"({"app": {"window.width": 800}})", {{"app.window.width", 800}}},
      // Arrays and empty objects are values of their own; so is null, which
      // the client refuses per path.
      {R"({"tags": ["a", {"b": 1}], "empty": {}, "gone": null})",
       {{"tags", json::array({"a", {{"b", 1}}})}, {"empty", json::object()}, {"gone", nullptr}}},
      {R"({"s": "text", "f": 2.5, "big": 18446744073709551615})",
       {{"s", "text"}, {"f", 2.5}, {"big", 18446744073709551615ull}}},
      // Names the service will refuse still reach it, so that the refusal is
      // reported with the path.
      {R"({"": 1, "a": {"": 2}})", {{"", 1}, {"a.", 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<ImportEntry> entries;
    std::string error;
    ASSERT_TRUE(ParseImportDocument(c.text, &entries, &error)) << error;
    EXPECT_EQ(Writes(entries), c.writes);
  }
}

TEST(ImportDocument, RefusesWhatIsNotAnObjectOfSettings) {
  const std::string deep = std::string(kMaxImportDepth + 1, '[') + std::string(kMaxImportDepth + 1, ']');
  std::string deep_object;
  for (size_t i = 0; i <= kMaxImportDepth; ++i) deep_object += "{\"a\":";
  deep_object += "1" + std::string(kMaxImportDepth + 1, '}');
  const struct {
    std::string text;
    std::string error_part;
  } cases[] = {
      {"", "not a JSON document"},
      {R"({"a": 1} trailing)", "not a JSON document"},
      {"\"a.b\"", "JSON string, not an object"},
      {"{\"x\": " + deep + "}", "nests deeper than"},
      {deep_object, "nests deeper than"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    std::vector<ImportEntry> entries = {{"left", 1}};
    std::string error;
    EXPECT_FALSE(ParseImportDocument(c.text, &entries, &error));
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    EXPECT_TRUE(entries.empty());
  }
  // Just within the limit is fine.
  std::string ok;
  for (size_t i = 0; i + 1 < kMaxImportDepth; ++i) ok += "{\"a\":";
  ok += "1" + std::string(kMaxImportDepth - 1, '}');
  std::vector<ImportEntry> entries;
  std::string error;
  EXPECT_TRUE(ParseImportDocument(ok, &entries, &error)) << error;
  ASSERT_EQ(entries.size(), 1u);
}

TEST(ImportDocument, ReadsFilesAndNamesTheOneItCannotRead) {
  // A good file (in a folder whose name has a blank): Import.AToolStartedBeforeTheServiceWaitsForItAndWritesEveryValue.
  testing_support::TempDir dir;
  const auto bad = dir.path() / "bad.json";
  testing_support::WriteFile(bad, "[1]");
  const auto unreadable = dir.path() / "unreadable.json";
  testing_support::WriteFile(unreadable, "{}");
  ::chmod(unreadable.c_str(), 0);
  const auto big = dir.path() / "big.json";
  testing_support::WriteFile(big, "");
  ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(kMaxImportFileBytes + 1)), 0);

  const struct {
    std::string path;
    std::string error_part;
  } cases[] = {
      {(dir.path() / "missing.json").string(), "cannot read"},
      {dir.path().string(), "not a regular file"},
      {bad.string(), "not an object"},
      {big.string(), "more than"},
      {unreadable.string(), "cannot read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    // Root reads any file whatever its mode.
    if (c.path == unreadable.string() && ::geteuid() == 0) continue;
    std::vector<ImportEntry> entries = {{"left", 1}};
    std::string error;
    EXPECT_FALSE(ReadImportFile(c.path, &entries, &error));
    EXPECT_NE(error.find(c.path), std::string::npos) << error;
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    EXPECT_TRUE(entries.empty());
  }
}

}  // namespace
}  // namespace velder_update
