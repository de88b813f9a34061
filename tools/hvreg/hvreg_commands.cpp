#include "hvreg/hvreg_commands.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "hvreg/value_text.h"

namespace hvreg {
namespace {

std::string ValueLabel(const std::string& name) { return name.empty() ? "(Default)" : name; }

std::string Quoted(const std::string& name) { return name.empty() ? "the default value" : "value '" + name + "'"; }

// Splits a path below a root into parent and last component.
void SplitLast(const std::string& path, std::string& parent, std::string& child) {
  const size_t slash = path.rfind('\\');
  parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
  child = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string_view DescribeRegistryError(RegistryError error) {
  switch (error) {
    case RegistryError::Ok: return "success";
    case RegistryError::NotFound: return "not found";
    case RegistryError::WrongType: return "the value has another type";
    case RegistryError::Failed: return "the registry database could not be used (damaged, busy, or a disk error)";
    case RegistryError::AccessDenied: return "access denied by the permissions of the registry files";
    case RegistryError::InvalidArgument: return "refused: a malformed name, or an operation the registry does not allow";
  }
  return "unknown error";
}

HvregCommands::HvregCommands(Registry& registry, std::ostream& out, std::ostream& err, std::istream& in,
                             bool interactive)
    : registry_(registry), out_(out), err_(err), in_(in), interactive_(interactive) {}

int HvregCommands::Fail(const std::string& what, RegistryError reason) {
  return Fail(what + ": " + std::string(DescribeRegistryError(reason)));
}

int HvregCommands::Fail(const std::string& message) {
  err_ << "hvreg: " << message << "\n";
  return kExitFailed;
}

int HvregCommands::Usage(const std::string& message) {
  err_ << "hvreg: " << message << "\n" << "Run 'hvreg --help' for the usage.\n";
  return kExitUsage;
}

bool HvregCommands::Confirm(const std::string& question) {
  if (!interactive_) return false;
  err_ << question << " (y/n) " << std::flush;
  std::string answer;
  if (!std::getline(in_, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

int HvregCommands::Run(const HvregOptions& options) {
  registry_.SetView(options.view);
  if (options.command == "import") return Import(options);
  RegistryKeyName key;
  std::string error;
  if (!ParseRegistryKeyName(options.operands[0], key, error)) return Usage(error);
  registry_.SetRootKey(key.root);
  if (options.command == "query") return Query(options, key);
  if (options.command == "add") return Add(options, key);
  if (options.command == "delete") return Delete(options, key);
  if (options.command == "export") return Export(options, key);
  return Usage("unknown command '" + options.command + "'");
}

// ---- query ----

bool HvregCommands::PrintKey(const RegistryKeyName& key, bool recursive) {
  std::vector<std::string> names;
  RegistryError e;
  registry_.EnumValues(key.path, names, &e);
  if (e != RegistryError::Ok) {
    walk_error_ = e;
    walk_key_ = key.ToString();
    return false;
  }
  out_ << key.ToString() << "\n";
  for (const std::string& name : names) {
    std::vector<uint8_t> data;
    uint32_t type = 0;
    // A value deleted meanwhile is simply not shown.
    if (!registry_.GetRawValue(key.path, name, data, type)) continue;
    out_ << "    " << ValueLabel(name) << "    " << TypeName(type) << "    " << DisplayValueData(type, data) << "\n";
  }
  out_ << "\n";
  registry_.EnumSubKeys(key.path, names, &e);
  if (e != RegistryError::Ok) {
    walk_error_ = e;
    walk_key_ = key.ToString();
    return false;
  }
  for (const std::string& name : names) {
    if (recursive) {
      if (!PrintKey(key.Child(name), true)) return false;
    } else {
      out_ << key.Child(name).ToString() << "\n";
    }
  }
  return true;
}

int HvregCommands::Query(const HvregOptions& options, const RegistryKeyName& key) {
  RegistryError e;
  if (options.value_name) {
    std::vector<uint8_t> data;
    uint32_t type = 0;
    if (!registry_.GetRawValue(key.path, *options.value_name, data, type, &e)) {
      return Fail("cannot read " + Quoted(*options.value_name) + " of " + key.ToString(), e);
    }
    out_ << key.ToString() << "\n"
         << "    " << ValueLabel(*options.value_name) << "    " << TypeName(type) << "    "
         << DisplayValueData(type, data) << "\n";
    return kExitOk;
  }
  if (!registry_.KeyExists(key.path, &e)) return Fail("cannot open " + key.ToString(), e);
  if (!PrintKey(key, options.recursive)) return Fail("cannot list " + walk_key_, walk_error_);
  return kExitOk;
}

// ---- add ----

int HvregCommands::Add(const HvregOptions& options, const RegistryKeyName& key) {
  if (!options.value_name && (options.type || options.data)) {
    return Usage("/t and /d need /v NAME or /ve to say which value they are for");
  }
  uint32_t type = REG_SZ;
  std::vector<uint8_t> data;
  if (options.value_name) {
    const std::optional<uint32_t> parsed = ParseTypeName(options.type.value_or("REG_SZ"));
    if (!parsed) return Usage("unknown type '" + *options.type + "'");
    type = *parsed;
    std::string error;
    if (!ParseValueData(type, options.data.value_or(""), options.separator, data, error)) return Usage(error);
  }
  RegistryError e;
  if (!registry_.CreateKeyPath(key.path, &e)) return Fail("cannot create " + key.ToString(), e);
  if (!options.value_name) return kExitOk;

  const std::string& name = *options.value_name;
  if (!options.force && registry_.GetValueType(key.path, name) != 0 &&
      !Confirm("Overwrite " + Quoted(name) + " of " + key.ToString() + "?")) {
    return Fail(Quoted(name) + " of " + key.ToString() + " exists; add /f to overwrite it");
  }
  if (!registry_.SetRawValue(key.path, name, data, type, &e)) {
    return Fail("cannot write " + Quoted(name) + " of " + key.ToString(), e);
  }
  return kExitOk;
}

// ---- delete ----

int HvregCommands::Delete(const HvregOptions& options, const RegistryKeyName& key) {
  RegistryError e;
  if (options.value_name) {
    const std::string& name = *options.value_name;
    if (!options.force && !Confirm("Delete " + Quoted(name) + " of " + key.ToString() + "?")) {
      return Fail("not deleting " + Quoted(name) + " of " + key.ToString() + " without /f");
    }
    if (!registry_.DeleteValue(key.path, name, &e)) {
      return Fail("cannot delete " + Quoted(name) + " of " + key.ToString(), e);
    }
    return kExitOk;
  }
  if (options.all_values) {
    std::vector<std::string> names;
    registry_.EnumValues(key.path, names, &e);
    if (e != RegistryError::Ok) return Fail("cannot list the values of " + key.ToString(), e);
    if (!options.force && !Confirm("Delete all values of " + key.ToString() + "?")) {
      return Fail("not deleting the values of " + key.ToString() + " without /f");
    }
    for (const std::string& name : names) {
      if (!registry_.DeleteValue(key.path, name, &e) && e != RegistryError::NotFound) {
        return Fail("cannot delete " + Quoted(name) + " of " + key.ToString(), e);
      }
    }
    return kExitOk;
  }
  if (key.path.empty()) return Fail("will not delete the root " + key.ToString());
  if (!options.force && !Confirm("Delete " + key.ToString() + " and all its subkeys?")) {
    return Fail("not deleting " + key.ToString() + " without /f");
  }
  std::string parent, child;
  SplitLast(key.path, parent, child);
  if (!registry_.DeleteKeyTree(parent, child, &e)) return Fail("cannot delete " + key.ToString(), e);
  return kExitOk;
}

// ---- export ----

bool HvregCommands::CollectKey(const RegistryKeyName& key, std::vector<RegFileKey>& sections) {
  RegFileKey section;
  section.key = key;
  std::vector<std::string> names;
  RegistryError e;
  registry_.EnumValues(key.path, names, &e);
  for (const std::string& name : names) {
    if (e != RegistryError::Ok) break;
    RegFileValue value;
    value.name = name;
    registry_.GetRawValue(key.path, name, value.data, value.type, &e);
    if (e == RegistryError::NotFound) {
      e = RegistryError::Ok;  // deleted meanwhile
      continue;
    }
    section.values.push_back(std::move(value));
  }
  if (e == RegistryError::Ok) registry_.EnumSubKeys(key.path, names, &e);
  if (e != RegistryError::Ok) {
    walk_error_ = e;
    walk_key_ = key.ToString();
    return false;
  }
  sections.push_back(std::move(section));
  for (const std::string& name : names) {
    if (!CollectKey(key.Child(name), sections)) return false;
  }
  return true;
}

int HvregCommands::Export(const HvregOptions& options, const RegistryKeyName& key) {
  const std::string& file = options.operands[1];
  std::error_code ec;
  if (std::filesystem::exists(file, ec) && !options.force && !Confirm("Replace " + file + "?")) {
    return Fail(file + " exists; add /y to replace it");
  }
  RegistryError e;
  if (!registry_.KeyExists(key.path, &e)) return Fail("cannot open " + key.ToString(), e);
  std::vector<RegFileKey> sections;
  if (!CollectKey(key, sections)) return Fail("cannot read " + walk_key_, walk_error_);

  // Written beside the target and renamed over it, so that a failed export
  // never leaves a truncated file in place of a good one.
  const std::string bytes = RegFile::Encode(RegFile::Format(sections));
  const std::string temporary = file + ".hvreg-" + std::to_string(::getpid());
  {
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    stream.flush();
    if (!stream.good()) {
      const int err = errno;
      std::filesystem::remove(temporary, ec);
      return Fail("cannot write " + file + ": " + std::strerror(err));
    }
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    const int err = errno;
    std::filesystem::remove(temporary, ec);
    return Fail("cannot write " + file + ": " + std::strerror(err));
  }
  return kExitOk;
}

// ---- import ----

bool HvregCommands::ApplySection(const RegFileKey& section, std::string& failure) {
  registry_.SetRootKey(section.key.root);
  const std::string& path = section.key.path;
  const std::string name = section.key.ToString();
  RegistryError e;
  if (section.remove) {
    if (path.empty()) {
      failure = "will not delete the root " + name;
      return false;
    }
    std::string parent, child;
    SplitLast(path, parent, child);
    // Deleting what is not there is what the file asked for.
    if (!registry_.DeleteKeyTree(parent, child, &e) && e != RegistryError::NotFound) {
      failure = "cannot delete " + name + ": " + std::string(DescribeRegistryError(e));
      return false;
    }
    return true;
  }
  if (!registry_.CreateKeyPath(path, &e)) {
    failure = "cannot create " + name + ": " + std::string(DescribeRegistryError(e));
    return false;
  }
  for (const RegFileValue& value : section.values) {
    const bool ok = value.remove ? registry_.DeleteValue(path, value.name, &e) || e == RegistryError::NotFound
                                 : registry_.SetRawValue(path, value.name, value.data, value.type, &e);
    if (!ok) {
      failure = std::string(value.remove ? "cannot delete " : "cannot write ") + Quoted(value.name) + " of " + name +
                ": " + std::string(DescribeRegistryError(e));
      return false;
    }
  }
  return true;
}

int HvregCommands::Import(const HvregOptions& options) {
  const std::string& file = options.operands[0];
  std::ifstream stream(file, std::ios::binary);
  if (!stream) return Fail("cannot open " + file + ": " + std::strerror(errno));
  std::ostringstream content;
  content << stream.rdbuf();
  if (stream.bad()) return Fail("cannot read " + file);

  // The whole file is checked before anything is changed.
  std::vector<RegFileKey> sections;
  std::string error;
  if (!RegFile::Parse(content.str(), sections, error)) return Fail(file + ": " + error);
  for (const RegFileKey& section : sections) {
    if (!ApplySection(section, error)) return Fail(file + ": line " + std::to_string(section.line) + ": " + error);
  }
  return kExitOk;
}

}  // namespace hvreg
