#include "platform/known_folders.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/path_util.h"
#include "platform/sid.h"
#include "platform/sqlite_registry.h"

namespace {

constexpr uint32_t kLastMachineWideId = 7;

// Registry value names of ids 0-19 (ids 5 and 6 are read specially, 7 has none).
constexpr std::array<std::string_view, 20> kValueNames = {
    "Common AppData", "Common Desktop", "Common Start Menu", "Common Programs", "Common Startup",
    "ProgramFilesDir", "ProgramFilesDir (x86)", "",
    "AppData", "Local AppData", "Desktop", "Personal", "My Pictures", "My Music", "My Video",
    "Favorites", "Start Menu", "Programs", "Startup", "Cache"};

constexpr std::string_view kUserProfileReference = "%USERPROFILE%";

bool IsAbsolute(std::string_view path) { return !path.empty() && path.front() == kPathSeparator; }

std::string HomeFromPasswordDatabase(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 4096);
  while (true) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    const int rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr || !IsAbsolute(found->pw_dir)) return {};
    return found->pw_dir;
  }
}

// The environment variable `name` when it holds an absolute path.
std::optional<std::string> AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !IsAbsolute(value)) return std::nullopt;
  return std::string(value);
}

std::string CallerHome() {
  if (auto home = AbsoluteFromEnvironment("HOME")) return *home;
  return HomeFromPasswordDatabase(::geteuid());
}

// Reads a small regular file; a FIFO or device is never opened for reading
// in a way that could block.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> out;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    std::string bytes(limit, '\0');
    size_t total = 0;
    while (total < limit) {
      const ssize_t n = ::read(fd, bytes.data() + total, limit - total);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    bytes.resize(total);
    out = std::move(bytes);
  }
  ::close(fd);
  return out;
}

// The XDG_<name>_DIR entry of a user-dirs.dirs file: `XDG_X_DIR="$HOME/y"` or
// `XDG_X_DIR="/y"`, with backslash escapes inside the quotes.
std::optional<std::string> UserDirEntry(std::string_view file, std::string_view key, const std::string& home) {
  size_t pos = 0;
  while (pos < file.size()) {
    size_t end = file.find('\n', pos);
    if (end == std::string_view::npos) end = file.size();
    std::string_view line = file.substr(pos, end - pos);
    pos = end + 1;
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.substr(0, key.size()) != key || line.substr(key.size(), 2) != "=\"") continue;
    line.remove_prefix(key.size() + 2);
    std::string value;
    bool closed = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        value += line[++i];
      } else if (line[i] == '"') {
        closed = true;
        break;
      } else {
        value += line[i];
      }
    }
    if (!closed) continue;
    constexpr std::string_view kHome = "$HOME";
    if (value.compare(0, kHome.size(), kHome) == 0 &&
        (value.size() == kHome.size() || value[kHome.size()] == kPathSeparator)) {
      if (home.empty()) return std::nullopt;
      return JoinPath(home, std::string_view(value).substr(kHome.size() + (value.size() > kHome.size() ? 1 : 0)));
    }
    if (IsAbsolute(value)) return value;
  }
  return std::nullopt;
}

// The Linux folders of one user: the caller's come from its environment and
// XDG files; another user's are the default places below its profile.
struct UserFolders {
  std::string home;
  std::string config_home;
  std::string data_home;
  std::string cache_home;
  std::string user_dirs;  // content of <config home>/user-dirs.dirs, caller only

  static UserFolders ForCaller() {
    UserFolders f;
    f.home = CallerHome();
    const auto below_home = [&](const char* rel) { return f.home.empty() ? std::string() : JoinPath(f.home, rel); };
    f.config_home = AbsoluteFromEnvironment("XDG_CONFIG_HOME").value_or(below_home(".config"));
    f.data_home = AbsoluteFromEnvironment("XDG_DATA_HOME").value_or(below_home(".local/share"));
    f.cache_home = AbsoluteFromEnvironment("XDG_CACHE_HOME").value_or(below_home(".cache"));
    if (!f.config_home.empty()) {
      f.user_dirs = ReadSmallFile(JoinPath(f.config_home, "user-dirs.dirs"), 64 * 1024).value_or("");
    }
    return f;
  }

  static UserFolders ForProfile(std::string profile) {
    UserFolders f;
    f.home = std::move(profile);
    if (!f.home.empty()) {
      f.config_home = JoinPath(f.home, ".config");
      f.data_home = JoinPath(f.home, ".local/share");
      f.cache_home = JoinPath(f.home, ".cache");
    }
    return f;
  }

  std::string UserDir(std::string_view key, std::string_view default_name) const {
    if (auto entry = UserDirEntry(user_dirs, key, home)) return *entry;
    return home.empty() ? std::string() : JoinPath(home, default_name);
  }
};

std::string Below(const std::string& base, std::string_view name) {
  return base.empty() ? std::string() : JoinPath(base, name);
}

std::string MachineFallback(SpecialFolder id) {
  switch (id) {
    case SpecialFolder::CommonAppData: return "/var/lib";
    case SpecialFolder::CommonStartMenu:
    case SpecialFolder::CommonPrograms: return "/usr/share/applications";
    case SpecialFolder::CommonStartup: return "/etc/xdg/autostart";
    case SpecialFolder::ProgramFiles:
    case SpecialFolder::ProgramFilesX86: return "/opt";
    default: return {};
  }
}

std::string UserFallback(SpecialFolder id, const UserFolders& f) {
  switch (id) {
    case SpecialFolder::AppData: return f.config_home;
    case SpecialFolder::LocalAppData: return f.data_home;
    case SpecialFolder::Desktop: return f.UserDir("XDG_DESKTOP_DIR", "Desktop");
    case SpecialFolder::Personal: return f.UserDir("XDG_DOCUMENTS_DIR", "Documents");
    case SpecialFolder::MyPictures: return f.UserDir("XDG_PICTURES_DIR", "Pictures");
    case SpecialFolder::MyMusic: return f.UserDir("XDG_MUSIC_DIR", "Music");
    case SpecialFolder::MyVideo: return f.UserDir("XDG_VIDEOS_DIR", "Videos");
    case SpecialFolder::StartMenu:
    case SpecialFolder::Programs: return Below(f.data_home, "applications");
    case SpecialFolder::Startup: return Below(f.config_home, "autostart");
    case SpecialFolder::Cache: return f.cache_home;
    case SpecialFolder::Profile: return f.home;
    default: return {};
  }
}

// SID texts may start with a lower-case "s"; the uid mapping wants the canonical form.
std::string CanonicalSid(std::string_view sid) {
  std::string out(sid);
  if (!out.empty()) out[0] = 'S';
  return out;
}

}  // namespace

void ReadFolderValue(Registry& registry, std::string_view key_path, SpecialFolder id, std::string& path) {
  path.clear();
  const auto n = static_cast<uint32_t>(id);
  switch (id) {
    case SpecialFolder::ProgramFiles:
      registry.GetString(std::string(kCurrentVersionKey), "ProgramFilesDir", path);
      return;
    case SpecialFolder::ProgramFilesX86:
      if (!registry.GetString(std::string(kCurrentVersionKey), "ProgramFilesDir (x86)", path)) {
        registry.GetString(std::string(kCurrentVersionKey), "ProgramFilesDir", path);
      }
      return;
    case SpecialFolder::Profile:
      path = kUserProfileReference;
      return;
    case SpecialFolder::Reserved7:
      return;
    default:
      break;
  }
  if (n >= kValueNames.size()) return;
  if (!registry.GetString(std::string(key_path), std::string(kValueNames[n]), path)) path.clear();
}

std::string GetUserProfileDirectory(std::string_view user_sid) {
  if (!platform::IsValidSidText(user_sid)) return {};
  const std::string sid = CanonicalSid(user_sid);
  SqliteRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  std::string profile;
  if (registry.GetString(std::string(kProfileListKey) + "\\" + sid, "ProfileImagePath", profile) &&
      !profile.empty()) {
    return profile;
  }
  if (auto uid = platform::UidForSid(sid)) return HomeFromPasswordDatabase(*uid);
  return {};
}

void ReplaceUserProfile(std::string& path, std::string_view user_sid) {
  const std::string profile = GetUserProfileDirectory(user_sid);
  if (profile.empty()) {
    path.clear();
    return;
  }
  path = ReplaceAll(path, kUserProfileReference, profile);
}

void ExpandEnvironment(std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t open = text.find('%', pos);
    if (open == std::string::npos) break;
    out.append(text, pos, open - pos);
    const size_t close = text.find('%', open + 1);
    if (close == std::string::npos) {
      pos = open;  // no closing sign: the rest stays as written
      break;
    }
    const std::string name = text.substr(open + 1, close - open - 1);
    const char* value = (name.empty() || name.find('=') != std::string::npos) ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      out.append(value);
    } else {
      out.append(text, open, close - open + 1);
    }
    pos = close + 1;
  }
  if (pos < text.size()) out.append(text, pos, std::string::npos);
  text = std::move(out);
}

std::string GetSpecialFolder(SpecialFolder id, std::string_view user_sid) {
  const bool per_user = static_cast<uint32_t>(id) > kLastMachineWideId;
  const bool other_user = !user_sid.empty();
  if (other_user && !platform::IsValidSidText(user_sid)) return {};

  SqliteRegistry registry;
  std::string key_path(kShellFoldersKey);
  if (per_user) {
    if (other_user) {
      registry.SetRootKey(HKEY_USERS);
      key_path = CanonicalSid(user_sid) + "\\" + key_path;
    } else {
      registry.SetRootKey(HKEY_CURRENT_USER);
    }
    registry.SetView(KEY_WOW64_64KEY);
  }

  std::string path;
  ReadFolderValue(registry, key_path, id, path);
  std::string other_profile;
  if (other_user && per_user) {
    other_profile = GetUserProfileDirectory(user_sid);
    // A user without a profile has no folders at all: no fallback either.
    if (other_profile.empty()) return {};
    path = ReplaceAll(path, kUserProfileReference, other_profile);
  } else if (!other_user && std::getenv("USERPROFILE") == nullptr) {
    // Linux sessions carry no USERPROFILE; the caller's profile is its home.
    const std::string home = CallerHome();
    if (!home.empty()) path = ReplaceAll(path, kUserProfileReference, home);
  }
  ExpandEnvironment(path);
  if (!path.empty()) return path;

  if (!per_user) return MachineFallback(id);
  if (other_user) return UserFallback(id, UserFolders::ForProfile(other_profile));
  return UserFallback(id, UserFolders::ForCaller());
}
