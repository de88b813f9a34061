// The merge of a local overlay over base values below a dynamic schema node,
// where the schema says nothing about the shape of the values.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>

namespace Schema {

// Merges `overlay` over `base` (null pointer: absent) like a merge patch: a
// null removes, an object merges member by member, any other value replaces,
// and a value of another type than the base's is ignored. Empty result:
// nothing remains.
std::optional<nlohmann::json> Merge(const nlohmann::json* base, const nlohmann::json* overlay);

}  // namespace Schema
