#include "tools/velderctl/output_format.h"

#include <fmt/format.h>
#include <time.h>

namespace velderctl {

using nlohmann::json;

namespace {

// Values came through the client library, which admits only UTF-8 text;
// replacing instead of throwing keeps printing safe regardless.
std::string Compact(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }
std::string Indented(const json& value) { return value.dump(2, ' ', false, json::error_handler_t::replace); }

json ConstraintsObject(uint32_t constraints) {
  return json{{"constraints", constraints},
              {"read_only", (constraints & velder::kConstraintReadOnly) != 0},
              {"admin_only", (constraints & velder::kConstraintAdminOnly) != 0}};
}

}  // namespace

std::string ConstraintWords(uint32_t constraints) {
  std::string words;
  auto add = [&](const char* word) { words += words.empty() ? word : fmt::format(", {}", word); };
  if (constraints & velder::kConstraintReadOnly) add("read-only");
  if (constraints & velder::kConstraintAdminOnly) add("admin-only");
  const uint32_t other = constraints & ~(velder::kConstraintReadOnly | velder::kConstraintAdminOnly);
  if (other != 0) add(fmt::format("other bits 0x{:x}", other).c_str());
  return words.empty() ? "none" : words;
}

std::string FormatTimestamp(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm tm_utc {};
  if (!gmtime_r(&t, &tm_utc)) return fmt::format("{} (seconds since 1970)", seconds);
  char text[64];
  if (strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm_utc) == 0) return std::to_string(seconds);
  return text;
}

std::string OutputFormat::Value(const json& value) const {
  if (json_) return Compact(value) + "\n";
  if (value.is_string()) return value.get<std::string>() + "\n";
  if (value.is_structured()) return Indented(value) + "\n";
  return Compact(value) + "\n";
}

std::string OutputFormat::Entries(const std::vector<velder::Entry>& entries) const {
  if (json_) {
    json list = json::array();
    for (const auto& e : entries) list.push_back(json{{"name", e.name}, {"type", velder::ValueTypeName(e.type)}});
    return Compact(list) + "\n";
  }
  std::string out;
  for (const auto& e : entries) out += fmt::format("{}\t{}\n", e.name, velder::ValueTypeName(e.type));
  return out;
}

std::string OutputFormat::Meta(const velder::MetaData& meta) const {
  if (json_) {
    json object = ConstraintsObject(meta.constraints);
    object["type"] = velder::ValueTypeName(meta.type);
    return Compact(object) + "\n";
  }
  return fmt::format("type: {}\nconstraints: {}\n", velder::ValueTypeName(meta.type), ConstraintWords(meta.constraints));
}

std::string OutputFormat::Users(const std::vector<std::string>& users) const {
  if (json_) return Compact(json(users)) + "\n";
  std::string out;
  for (const auto& u : users) out += u + "\n";
  return out;
}

std::string OutputFormat::ConnectionStatus(bool connected, const std::optional<json>& status) const {
  if (json_) {
    return Compact(json{{"connected", connected}, {"status", status ? *status : json(nullptr)}}) + "\n";
  }
  std::string out = fmt::format("connected: {}\n", connected ? "yes" : "no");
  if (!status) return out + "no connection to the settings server recorded yet\n";
  const struct {
    const char* key;
    const char* label;
  } times[] = {{"last_connection_timestamp", "last connection"},
               {"last_successful_connection_timestamp", "last successful connection"},
               {"last_successful_update_timestamp", "last successful update"}};
  for (const auto& t : times) {
    const auto it = status->is_object() ? status->find(t.key) : status->end();
    if (it == status->end()) {
      out += fmt::format("{}: never\n", t.label);
    } else if (it->is_number_integer()) {
      out += fmt::format("{}: {}\n", t.label, FormatTimestamp(it->get<int64_t>()));
    } else {
      out += fmt::format("{}: {}\n", t.label, Compact(*it));
    }
  }
  // What the service adds after each exchange: the outcome in words and the
  // schedule. Shown only when present (an older service writes none).
  if (!status->is_object()) return out;
  if (const auto it = status->find("last_result"); it != status->end()) {
    out += fmt::format("last result: {}\n", it->is_string() ? it->get<std::string>() : Compact(*it));
  }
  if (const auto it = status->find("next_check"); it != status->end()) {
    out += fmt::format("next check: {}\n", it->is_number_integer() ? FormatTimestamp(it->get<int64_t>()) : Compact(*it));
  }
  if (const auto it = status->find("server_backoff_until"); it != status->end()) {
    out += fmt::format("server back-off until: {}\n",
                       it->is_number_integer() ? FormatTimestamp(it->get<int64_t>()) : Compact(*it));
  } else if (status->contains("next_check")) {
    out += "server back-off: none\n";
  }
  return out;
}

std::string OutputFormat::Change(const velder::Notification& n) const {
  using Kind = velder::Notification::Kind;
  if (json_) {
    json line{{"path", n.path}};
    switch (n.kind) {
      case Kind::Value: line["value"] = n.value; break;
      case Kind::Removed: line["removed"] = true; break;
      case Kind::Constraints: line.update(ConstraintsObject(n.constraints)); break;
      case Kind::Disconnected: line = json{{"disconnected", true}}; break;
      case Kind::Malformed: line = json{{"malformed", n.error}}; break;
    }
    return Compact(line) + "\n";
  }
  switch (n.kind) {
    case Kind::Value: return fmt::format("{} = {}\n", n.path, Compact(n.value));
    case Kind::Removed: return fmt::format("{} removed\n", n.path);
    case Kind::Constraints:
      return fmt::format("{} constraints={} ({})\n", n.path, n.constraints, ConstraintWords(n.constraints));
    case Kind::Disconnected: return "disconnected\n";
    case Kind::Malformed: return fmt::format("malformed notification: {}\n", n.error);
  }
  return {};
}

}  // namespace velderctl
