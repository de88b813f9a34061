// The settings document a client fetches: {"data":{"eff_schema":...,"values":...}}
// with the product's schema and the product's default values overlaid with the
// client's own values (a JSON merge patch), its entity tag, and the schema
// check of a change.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "settings_database.h"

namespace settings_server {

struct ClientDocument {
  std::string body;  // compact JSON text
  std::string etag;  // strong tag, quotes included
};

// The product's values with the client's values merged over them.
nlohmann::json MergedValues(const ProductRecord& product, const nlohmann::json& overrides);

// The document and its tag. The tag is a digest of the document text (object
// members are always written in key order), so it changes exactly when the
// document does and survives a restart unchanged.
ClientDocument BuildClientDocument(const ProductRecord& product, const nlohmann::json& overrides);

// Checks the members of `values` named by the members of `changed` (the
// top-level settings a change touched) against `schema` with the store's
// validator. Returns the setting path of the innermost value that fails
// ("a.b.0.c"), or nullopt when all pass. Members of `changed` that `values`
// lacks (deleted ones) pass.
std::optional<std::string> FindSchemaViolation(const nlohmann::json& schema, const nlohmann::json& values,
                                               const nlohmann::json& changed);

// Whether an If-Match / If-None-Match header value (a list of tags, or "*")
// names `etag`. If-None-Match compares weakly (a W/ prefix is ignored),
// If-Match strongly (a weak tag never matches).
bool IfMatchMatches(std::string_view header, std::string_view etag);
bool IfNoneMatchMatches(std::string_view header, std::string_view etag);

}  // namespace settings_server
