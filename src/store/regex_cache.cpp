#include "store/regex_cache.h"

#include "logging/log.h"

RegexCache::RegexCache(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

RegexCache& RegexCache::Global() {
  static RegexCache cache;
  return cache;
}

std::shared_ptr<const Regex> RegexCache::Get(const std::string& pattern) {
  {
    platform::ReaderLock lock(mutex_);
    const auto it = entries_.find(pattern);
    if (it != entries_.end()) return it->second;
  }
  std::string error;
  std::shared_ptr<const Regex> compiled = Regex::Compile(pattern, error);
  platform::WriterLock lock(mutex_);
  ++compilations_;
  const auto it = entries_.find(pattern);
  if (it != entries_.end()) return it->second;  // another thread was quicker
  if (compiled == nullptr) HV_LOG_WARNING("Invalid pattern '{}': {}", pattern, error);
  if (entries_.size() >= capacity_) entries_.clear();
  entries_.emplace(pattern, compiled);
  return compiled;
}

size_t RegexCache::Size() const {
  platform::ReaderLock lock(mutex_);
  return entries_.size();
}

size_t RegexCache::Compilations() const {
  platform::ReaderLock lock(mutex_);
  return compilations_;
}
