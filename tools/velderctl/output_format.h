// What velderctl prints on standard output: plain text for people, or with
// --json one JSON document per result (one per line for watch) for programs.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "client/velder_client.h"

namespace velderctl {

class OutputFormat {
 public:
  explicit OutputFormat(bool json) : json_(json) {}

  bool as_json() const { return json_; }

  // A setting's value. Text: a string as it stands, objects and arrays
  // indented, everything else in JSON form. Ends with a newline.
  std::string Value(const nlohmann::json& value) const;
  // Text: "name<TAB>type" per entry.
  std::string Entries(const std::vector<velder::Entry>& entries) const;
  std::string Meta(const velder::MetaData& meta) const;
  // One SID per line.
  std::string Users(const std::vector<std::string>& users) const;
  // The hive's connection: the flag of CheckConnected and the status object
  // the hive records (nullopt when it has recorded none yet).
  std::string ConnectionStatus(bool connected, const std::optional<nlohmann::json>& status) const;
  // One line per notification: "a.b = 5", "a.b removed", "a.b constraints=2 (admin-only)".
  std::string Change(const velder::Notification& notification) const;

 private:
  bool json_;
};

// "read-only, admin-only", "none".
std::string ConstraintWords(uint32_t constraints);
// A time in seconds since 1970 as "2024-05-01 12:00:00 UTC".
std::string FormatTimestamp(int64_t seconds);

}  // namespace velderctl
