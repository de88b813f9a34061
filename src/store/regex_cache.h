// Compiled "pattern" expressions, shared by every validation in the process:
// a pattern is compiled the first time it is needed and reused afterwards.
//
// Thread-safe: lookups take a shared lock, so validations on many request
// threads do not serialise; a miss compiles outside the lock. A pattern that
// does not compile is remembered too (and logged once), so a broken schema
// costs one compilation, not one per value. The cache holds at most
// `capacity` patterns and starts afresh when full: schemas change rarely, and
// a schema that keeps inventing patterns must not grow it without end.
#pragma once

#include "platform/mutex.h"
#include "store/regex.h"

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>

class RegexCache {
 public:
  static constexpr size_t kDefaultCapacity = 1024;

  explicit RegexCache(size_t capacity = kDefaultCapacity);

  // The cache that schema validation uses.
  static RegexCache& Global();

  // The compiled `pattern`, or null when it is not a valid expression.
  std::shared_ptr<const Regex> Get(const std::string& pattern) EXCLUDES(mutex_);

  size_t Size() const EXCLUDES(mutex_);
  // How many compilations the cache has done (for tests and statistics).
  size_t Compilations() const EXCLUDES(mutex_);

 private:
  const size_t capacity_;
  mutable platform::SharedMutex mutex_;  // guards entries_ and compilations_
  std::unordered_map<std::string, std::shared_ptr<const Regex>> entries_ GUARDED_BY(mutex_);
  size_t compilations_ GUARDED_BY(mutex_) = 0;
};
