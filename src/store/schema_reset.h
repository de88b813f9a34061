// The reset of a setting that a client deletes: the hive's overlay ("patch")
// is changed so that the setting falls back to what the base values and the
// schema's default give.
#pragma once

#include "store/velder_path.h"

#include <nlohmann/json.hpp>

namespace Schema {

enum ResetResult : int {
  kResetDone = 0,
  kResetRefused = 1,  // read-only, a required member of an array element, or no default for an array
  kResetNothing = 2,  // the schema does not describe the path, or there was nothing to remove
};

// Outside arrays, nulls are written into `overlay` at `path` (for an object,
// at every member below it that holds a value, read-only members excepted),
// which the effective document turns into defaults. Inside an array, the
// array is stored into the overlay whole (from the overlay, the base or the
// default) with the element or member removed; when there is nothing to
// remove the overlay is left as it was. A read-only path is refused, also
// below a dynamic node.
ResetResult ResetPath(const nlohmann::json& schemaRoot, const VelderPath::Path& path,
                      const nlohmann::json& baseValues, nlohmann::json& overlay);

}  // namespace Schema
