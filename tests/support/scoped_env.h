// Environment variables and the time zone set for one test, the old values
// put back afterwards.
#pragma once

#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const std::string& name, const std::string& value) { Set(name, value); }
  ~ScopedEnv() { Restore(); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void Set(const std::string& name, const std::string& value) {
    Save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    ::unsetenv(name.c_str());
  }
  // Puts back what was there before the first change of each variable.
  void Restore() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      it->second ? ::setenv(it->first.c_str(), it->second->c_str(), 1) : ::unsetenv(it->first.c_str());
    }
    saved_.clear();
  }

 private:
  void Save(const std::string& name) {
    for (const auto& saved : saved_) {
      if (saved.first == name) return;
    }
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// TZ for the lifetime of the object, in effect at once.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) : env_("TZ", tz) { ::tzset(); }
  ~ScopedTimeZone() {
    env_.Restore();
    ::tzset();
  }

 private:
  ScopedEnv env_;
};

}  // namespace testing_support
