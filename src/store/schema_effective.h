// The effective document of a hive: what clients read.
#pragma once

#include <nlohmann/json.hpp>

namespace Schema {

// Applies the schema (a hive's "data"."eff_schema") to the base values
// ("data"."values") and the overlay ("patch"). A null or empty object counts
// as absent. The result holds exactly the settings the schema lists that
// give a value; it is null only when the schema root gives nothing (the hive
// then keeps its previous effective document). `log` names each setting that
// gives no value (a missing "default", an unknown type) in the log.
nlohmann::json ComputeEffective(const nlohmann::json& schemaRoot, const nlohmann::json& baseValues,
                                const nlohmann::json& overlay, bool log);

}  // namespace Schema
