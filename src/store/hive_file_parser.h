// The JSON text of a hive file into a document, quickly.
//
// Loading a hive is mostly parsing its files, and the general parser pays for
// its generality (a character at a time through an input adapter, a token
// buffer for every string). This one reads the text in place and builds the
// document directly. It takes only what it is sure of: whenever the text is
// not plainly valid JSON it gives up and the caller asks the general parser,
// so that a damaged file is refused with the same message, and an unusual
// one (deep nesting, \u0000, a number out of range) is read the same way, as
// before. Where it succeeds the document equals the general parser's to the
// type of every number (the hive file fuzzer compares the two on every
// input).
//
// Pure functions; any thread.
#pragma once

#include <nlohmann/json.hpp>
#include <string_view>

namespace HiveFileParser {

// `text` (UTF-8, one byte-order mark allowed) into `document`; false when
// the text is for the general parser to judge (`document` is then
// unspecified).
bool Parse(std::string_view text, nlohmann::json& document);

// The fast parse, else nlohmann::json::parse (which throws on bad text).
nlohmann::json ParseOrThrow(std::string_view text);

// Exactly the same document: equal, and every number of the same kind (the
// general parser's unsigned, signed or double) and sign. For the tests.
bool SameDocument(const nlohmann::json& a, const nlohmann::json& b);

}  // namespace HiveFileParser
