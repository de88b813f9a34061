// Read-only marks of a schema: whether a path may be written, and which paths
// changed their mark when a new schema arrives (clients that watch a path
// learn of it through a constraint notification).
#pragma once

#include "store/velder_path.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>

namespace Schema {

// The constraint bit of a read-only path.
inline constexpr uint32_t kConstraintReadonly = 1;

// Whether the schema marks `path` read-only: the mark of the last node the
// walk reached, so a path below a read-only setting is read-only too.
bool IsReadonly(const nlohmann::json& schemaRoot, const VelderPath::Path& path);

// Called once per path whose read-only mark differs, with its new constraint
// bits (kConstraintReadonly or 0).
using ReadonlyChangeCallback = std::function<void(const VelderPath::Path& path, uint32_t constraints)>;

// Reports every path the new schema describes whose read-only mark differs
// from the old schema's. Below a path that is read-only in both nothing can
// change, and arrays are not descended.
void CompareReadonly(const nlohmann::json& oldSchemaRoot, const nlohmann::json& newSchemaRoot,
                     const ReadonlyChangeCallback& notify);

}  // namespace Schema
