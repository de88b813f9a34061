// Where a hive reports the changes of its effective document: the change
// notifier (notify/change_notifier.h) implements it. Every call only queues
// and never waits for delivery, so a hive may call it while it holds its lock.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "store/velder_path.h"

class ChangeSink {
 public:
  virtual ~ChangeSink() = default;

  // The effective value at `path` of the hive (product, user) changed; no
  // value means the setting was removed. `origin` is the channel whose request
  // caused the change ("" for none); it is not told of its own change.
  virtual void Notify(const std::string& product, const std::string& user, const VelderPath::Path& path,
                      std::optional<nlohmann::json> value, const std::string& origin) = 0;
  // The constraint bits of `path` changed to `constraints`.
  virtual void NotifyConstraints(const std::string& product, const std::string& user, const VelderPath::Path& path,
                                 uint32_t constraints, const std::string& origin) = 0;
  // True when a client listens to any path of the hive (product, user); such
  // a hive is kept loaded.
  virtual bool IsSubscribed(const std::string& product, const std::string& user) = 0;
};
