// The import file of velder-update: a JSON object whose members name setting
// paths and hold the values to write there.
//
//   {"app.window.width": 800, "app": {"title": "Hello", "tags": ["a", "b"]}}
//
// A member whose value is a non-empty object is descended into: its members'
// names are appended to its own path with a ".", so the example writes
// app.window.width = 800, app.title = "Hello" and app.tags = ["a","b"]. Flat
// paths and nested objects may be mixed and mean the same; nothing but the
// named leaves is touched, so siblings already in the settings stay. Every
// other value (number, string, boolean, array, empty object, null) is written
// whole at its path. The writes follow the order of the file, so a later
// member overrides an earlier one that names the same path.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace velder_update {

struct ImportEntry {
  std::string path;
  nlohmann::json value;
};

// Nested objects deeper than this are refused: the service would refuse such
// a path anyway, and the parser must not recurse without bound.
inline constexpr size_t kMaxImportDepth = 128;
// Larger files are refused before they are read into memory.
inline constexpr uintmax_t kMaxImportFileBytes = 64u * 1024 * 1024;

// Turns the text of an import file into the writes it asks for, in file
// order. False, with a message for people in *error, when the text is not a
// JSON object or nests deeper than kMaxImportDepth; *entries is then empty.
// An empty object gives no entries and true.
bool ParseImportDocument(std::string_view text, std::vector<ImportEntry>* entries, std::string* error);

// Reads and parses the file at `path`; false with a message naming the file
// when it cannot be read, is not a regular file, is too large or does not
// parse.
bool ReadImportFile(const std::string& path, std::vector<ImportEntry>* entries, std::string* error);

}  // namespace velder_update
