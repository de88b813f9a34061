// The commands of velderctl, each one connection to the service and one or a
// few requests. Every command returns velderctl's exit code (exit_code.h)
// and writes its result to `out`, its complaints to `err`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/velder_client.h"
#include "tools/velderctl/output_format.h"

namespace velderctl {

// The options every command shares.
struct GlobalOptions {
  std::string user;      // empty: the caller's own settings
  std::string identity;  // empty: $VELDER_IDENTITY, else the default
  std::string client_name = "velderctl";
  bool json = false;
  uint32_t timeout_ms = 30000;
};

// Used by one thread; watch's notifications print from the client's thread
// while the calling thread waits.
class Commands {
 public:
  Commands(GlobalOptions options, std::FILE* out, std::FILE* err);

  int Get(const std::string& path);
  // `type`: empty to infer, else bool|int|string|json.
  int Set(const std::string& path, const std::string& value, const std::string& type);
  int Remove(const std::string& path);
  int List(const std::string& path);
  int Meta(const std::string& path);
  int Lock(const std::string& path);
  int Unlock(const std::string& path);
  // Prints every change at or below `paths` (everything when empty) until
  // SIGINT or SIGTERM (exit 0) or until the service goes away (exit 74).
  int Watch(const std::vector<std::string>& paths);
  int Sync();
  int ShowStatus();
  int Users();
  // Has the service apply the system's late-bound base file again (administrators only).
  int ReloadBase();

 private:
  int Connect(std::string_view command, std::unique_ptr<velder::Client>* client,
              velder::NotificationHandler handler = {});
  // Report a failed call as "velderctl: <command>: <message>" or
  // "velderctl: <command> '<path>': <message>"; return its exit code.
  int Fail(std::string_view command, const velder::Status& status);
  int FailAt(std::string_view command, std::string_view path, const velder::Status& status);
  int Usage(std::string_view command, const std::string& message);
  // False, with a usage message, when `path` is not a setting path.
  bool CheckPath(std::string_view command, const std::string& path, int* rc);
  // Runs a request that answers with nothing but its result.
  template <typename Call>
  int Simple(std::string_view command, const std::string& path, Call call);
  void Print(const std::string& text);

  const GlobalOptions options_;
  const OutputFormat format_;
  std::FILE* const out_;
  std::FILE* const err_;
};

}  // namespace velderctl
