// The five commands of hvreg over a Registry: query, add, delete, export and
// import. Output goes to `out`, messages to `err`; a question before a
// destructive step is asked on `in` only when `interactive` (a terminal),
// and otherwise the step needs /f.
#pragma once

#include <iosfwd>
#include <string>

#include "hvreg/hvreg_options.h"
#include "hvreg/reg_file.h"
#include "hvreg/registry_key_name.h"
#include "platform/registry.h"

namespace hvreg {

class HvregCommands {
 public:
  HvregCommands(Registry& registry, std::ostream& out, std::ostream& err, std::istream& in, bool interactive);

  // Runs the command of `options`; returns the exit code.
  int Run(const HvregOptions& options);

 private:
  int Query(const HvregOptions& options, const RegistryKeyName& key);
  int Add(const HvregOptions& options, const RegistryKeyName& key);
  int Delete(const HvregOptions& options, const RegistryKeyName& key);
  int Export(const HvregOptions& options, const RegistryKeyName& key);
  int Import(const HvregOptions& options);

  // Prints one key, its values and its subkeys (all of them, with `recursive`).
  bool PrintKey(const RegistryKeyName& key, bool recursive);
  // Adds `key` and everything below it to `sections`, parents first.
  bool CollectKey(const RegistryKeyName& key, std::vector<RegFileKey>& sections);
  bool ApplySection(const RegFileKey& section, std::string& failure);

  // Reports that `what` failed for `reason` and returns kExitFailed.
  int Fail(const std::string& what, RegistryError reason);
  int Fail(const std::string& message);
  int Usage(const std::string& message);
  // Asks `question`; true when the user answers yes. Without a terminal
  // nothing is asked and the answer is no.
  bool Confirm(const std::string& question);

  Registry& registry_;
  std::ostream& out_;
  std::ostream& err_;
  std::istream& in_;
  bool interactive_;
  // The error behind the last failed PrintKey or CollectKey, and its key.
  RegistryError walk_error_ = RegistryError::Ok;
  std::string walk_key_;
};

// Words for a registry error in messages.
std::string_view DescribeRegistryError(RegistryError error);

}  // namespace hvreg
