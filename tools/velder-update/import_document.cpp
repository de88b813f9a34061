#include "tools/velder-update/import_document.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "client/value_codec.h"

namespace velder_update {
namespace {

using nlohmann::ordered_json;

// Appends the writes of `object` below `prefix` ("" at the top). Nesting is
// bounded by the depth check before parsing.
void Flatten(const std::string& prefix, const ordered_json& object, std::vector<ImportEntry>* entries) {
  for (const auto& [name, value] : object.items()) {
    std::string path = prefix.empty() ? name : prefix + "." + name;
    if (value.is_object() && !value.empty()) {
      Flatten(path, value, entries);
    } else {
      // ordered_json only keeps the file's order; the client takes json.
      entries->push_back(ImportEntry{std::move(path), nlohmann::json(value)});
    }
  }
}

}  // namespace

bool ParseImportDocument(std::string_view text, std::vector<ImportEntry>* entries, std::string* error) {
  entries->clear();
  if (VelderPath::NestsDeeperThan(text, kMaxImportDepth)) {
    *error = fmt::format("the document nests deeper than {} levels", kMaxImportDepth);
    return false;
  }
  ordered_json document;
  try {
    document = ordered_json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    *error = fmt::format("not a JSON document: {}", e.what());
    return false;
  }
  if (!document.is_object()) {
    *error = fmt::format("the document is a JSON {}, not an object of setting paths and values",
                         document.type_name());
    return false;
  }
  Flatten("", document, entries);
  return true;
}

bool ReadImportFile(const std::string& path, std::vector<ImportEntry>* entries, std::string* error) {
  entries->clear();
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) {
    *error = fmt::format("cannot read '{}': {}", path, ec.message());
    return false;
  }
  if (!fs::is_regular_file(status)) {
    *error = fmt::format("cannot read '{}': not a regular file", path);
    return false;
  }
  const uintmax_t size = fs::file_size(path, ec);
  if (!ec && size > kMaxImportFileBytes) {
    *error = fmt::format("cannot read '{}': {} bytes, more than the {} an import file may have", path, size,
                         kMaxImportFileBytes);
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = fmt::format("cannot read '{}': {}", path, std::strerror(errno));
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    *error = fmt::format("cannot read '{}': {}", path, std::strerror(errno));
    return false;
  }
  std::string why;
  if (!ParseImportDocument(text.str(), entries, &why)) {
    *error = fmt::format("'{}': {}", path, why);
    return false;
  }
  return true;
}

}  // namespace velder_update
