// SQLite's own verdict on a registry file, for the tests that damage or
// interrupt its writers.
#pragma once

#include <sqlite3.h>

#include <string>

namespace registry_testing {

// "ok" when the file is undamaged.
inline std::string IntegrityCheck(const std::string& file) {
  sqlite3* db = nullptr;
  std::string verdict = "cannot open";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(
        db, "PRAGMA integrity_check",
        [](void* out, int, char** values, char**) {
          *static_cast<std::string*>(out) = values[0] ? values[0] : "";
          return 0;
        },
        &verdict, nullptr);
  }
  sqlite3_close(db);
  return verdict;
}

}  // namespace registry_testing
