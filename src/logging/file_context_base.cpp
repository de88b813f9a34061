#include "logging/file_context_base.h"

#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "logging/log.h"
#include "platform/sid.h"
#include "platform/sqlite_registry.h"

namespace HvQorLogging {
namespace {

constexpr const char* kLoggingKey = "SOFTWARE\\Halvern\\QOR\\Logging";
constexpr const char* kShellFoldersKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

bool IsUsableRoot(const std::string& root) {
  return !root.empty() && root.front() == '/' && root.find('\0') == std::string::npos;
}

// A name that stays one path component.
bool IsSafeComponent(const std::string& name) {
  return name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string ReadRootValue(Registry& registry, HKEY root, uint32_t view, const char* key, const char* name) {
  registry.SetRootKey(root);
  registry.SetView(view);
  std::string value;
  if (!registry.GetString(key, name, value)) return {};
  return IsUsableRoot(value) ? value : std::string();
}

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  struct passwd pw {}, *result = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir &&
      result->pw_dir[0] == '/') {
    return result->pw_dir;
  }
  return {};
}

// Creates the folders of a user's log root that are missing, 0700 as the
// XDG base directories ask (a fresh account has no ~/.local/state yet).
// Folders that exist are left as they are: they are not the logger's.
void CreateMissingRootFolders(std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::vector<std::string> missing;
  struct stat st;
  while (root.size() > 1 && ::lstat(root.c_str(), &st) != 0 && errno == ENOENT) {
    missing.push_back(root);
    root.erase(root.rfind('/'));
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

}  // namespace

FileContextBase::FileContextBase(std::unique_ptr<FileSystem::Path> path, std::string identity, std::string framework,
                                 std::string component, uint32_t options)
    : path_(std::move(path)),
      identity_(std::move(identity)),
      framework_(std::move(framework)),
      component_(std::move(component)),
      options_(options) {}

FileContextBase::~FileContextBase() = default;

std::unique_ptr<Registry> FileContextBase::OpenRegistry() const { return std::make_unique<SqliteRegistry>(); }

std::string FileContextBase::LogRoot(RootKind kind, Registry& registry) {
  const bool admin = kind == RootKind::kAdministrator;
  const HKEY hive = admin ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  if (std::string root = ReadRootValue(registry, hive, KEY_WOW64_32KEY, kLoggingKey, "RootPath"); !root.empty()) {
    return root;
  }
  if (std::string root = ReadRootValue(registry, hive, 0, kShellFoldersKey, admin ? "Common AppData" : "Local AppData");
      !root.empty()) {
    return root;
  }
  if (admin) return "/var/log";
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') return state;
  const std::string home = HomeDirectory();
  return home.empty() ? std::string() : home + "/.local/state";
}

bool FileContextBase::Initialize() {
  if (initialized_) return false;
  is_administrator_ = ::geteuid() == 0;
  if (is_administrator_) {
    const bool private_directories = options_ & kOptionPrivateDirectories;
    permissions_ = FileSystem::Permissions{private_directories ? 0700u : 0755u, private_directories ? 0600u : 0644u,
                                           true};
  } else {
    permissions_ = FileSystem::Permissions{0755, 0644, false};
  }
  // Not retried, even when what follows fails.
  initialized_ = true;
  std::unique_ptr<Registry> registry = OpenRegistry();
  const std::string root =
      LogRoot(is_administrator_ ? RootKind::kAdministrator : RootKind::kUser, *registry);
  if (!is_administrator_ && IsUsableRoot(root)) CreateMissingRootFolders(root);
  return BuildDirectory(root, is_administrator_);
}

bool FileContextBase::BuildDirectory(const std::string& root, bool is_administrator) {
  file_prefix_.clear();
  directory_.clear();
  if (!IsUsableRoot(root) || component_.empty() || !IsSafeComponent(identity_) || !IsSafeComponent(framework_) ||
      !IsSafeComponent(component_)) {
    return false;
  }
  std::string base = root;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const bool shared_identity =
      identity_.empty() || identity_ == "default" || identity_ == "kv_default" || identity_ == "mbt_default";
  std::string directory = base + "/Halvern" + (shared_identity ? "/Log/" : "/NS/" + identity_ + "/Log/") + framework_;
  if (directory.back() == '/') directory.pop_back();  // no framework
  const size_t start = base.size() + 1;
  if (!path_->CreateDirectories(directory, start, permissions_)) return false;
  directory_ = std::move(directory);
  directory_start_ = start;
  file_prefix_ = directory_ + "/" + component_;
  if (is_administrator && (options_ & kOptionSidInFileName)) file_prefix_ += "." + platform::SidForUid(::geteuid());
  return true;
}

bool FileContextBase::RebuildDirectory() {
  return !directory_.empty() && path_->CreateDirectories(directory_, directory_start_, permissions_);
}

std::string FileContextBase::GetFilePath(int index) const {
  if (file_prefix_.empty()) return {};
  return index == 0 ? file_prefix_ + ".log" : file_prefix_ + "." + std::to_string(index) + ".log";
}

void FileContextBase::Rotate(int count) {
  if (file_prefix_.empty() || count < 1) return;
  path_->DeleteFile(GetFilePath(count));
  for (int index = count - 1; index >= 0; --index) {
    const std::string from = GetFilePath(index);
    if (path_->IsFile(from)) path_->MoveFile(from, GetFilePath(index + 1));
  }
}

}  // namespace HvQorLogging
