// Well-known folders of the machine and of its users, read from the registry
// the way the folder configuration is stored there, with %VAR% references
// expanded, and with the Linux conventions as the fallback when the registry
// names nothing.
//
// Registry values (the key paths keep the backslash of registry paths):
//   machine-wide ids 0-4: HKEY_LOCAL_MACHINE\<kShellFoldersKey>, value as below
//   ids 5 and 6:          HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion
//   per-user ids 8-19:    HKEY_CURRENT_USER\<kShellFoldersKey> for the calling user,
//                         HKEY_USERS\<SID>\<kShellFoldersKey> for another user
//   id 20:                the text "%USERPROFILE%" itself
//
//  id  name              registry value                       fallback
//   0  CommonAppData     "Common AppData"                     /var/lib
//   1  CommonDesktop     "Common Desktop"                     none: there is no machine-wide desktop
//   2  CommonStartMenu   "Common Start Menu"                  /usr/share/applications
//   3  CommonPrograms    "Common Programs"                    /usr/share/applications
//   4  CommonStartup     "Common Startup"                     /etc/xdg/autostart
//   5  ProgramFiles      "ProgramFilesDir"                    /opt
//   6  ProgramFilesX86   "ProgramFilesDir (x86)", else "ProgramFilesDir"   /opt
//   7  (reserved)        none                                 none: always empty
//   8  AppData           "AppData"                            $XDG_CONFIG_HOME, else ~/.config
//   9  LocalAppData      "Local AppData"                      $XDG_DATA_HOME, else ~/.local/share
//  10  Desktop           "Desktop"                            XDG_DESKTOP_DIR, else ~/Desktop
//  11  Personal          "Personal"                           XDG_DOCUMENTS_DIR, else ~/Documents
//  12  MyPictures        "My Pictures"                        XDG_PICTURES_DIR, else ~/Pictures
//  13  MyMusic           "My Music"                           XDG_MUSIC_DIR, else ~/Music
//  14  MyVideo           "My Video"                           XDG_VIDEOS_DIR, else ~/Videos
//  15  Favorites         "Favorites"                          none: Linux has no such folder
//  16  StartMenu         "Start Menu"                         <data home>/applications
//  17  Programs          "Programs"                           <data home>/applications
//  18  Startup           "Startup"                            <config home>/autostart
//  19  Cache             "Cache"                              $XDG_CACHE_HOME, else ~/.cache
//  20  Profile           "%USERPROFILE%"                      the home directory
//  any other id          none                                 none: always empty
//
// The fallback paths are returned whether or not the folder exists. For the
// calling user they follow the XDG conventions: the $XDG_*_HOME variables
// (absolute paths only), the XDG_*_DIR entries of <config home>/user-dirs.dirs
// and the home directory ($HOME, else the password database). For another
// user (a SID given) only the default locations below that user's profile
// directory are used, never the caller's environment; a SID without a profile
// directory yields an empty path.
//
// Stateless; usable on any thread. Nothing is logged and nothing fails beyond
// an empty result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class Registry;

enum class SpecialFolder : uint32_t {
  CommonAppData = 0,
  CommonDesktop = 1,
  CommonStartMenu = 2,
  CommonPrograms = 3,
  CommonStartup = 4,
  ProgramFiles = 5,
  ProgramFilesX86 = 6,
  Reserved7 = 7,
  AppData = 8,
  LocalAppData = 9,
  Desktop = 10,
  Personal = 11,
  MyPictures = 12,
  MyMusic = 13,
  MyVideo = 14,
  Favorites = 15,
  StartMenu = 16,
  Programs = 17,
  Startup = 18,
  Cache = 19,
  Profile = 20,
};

// Where the folder values of a user (and ids 0-4 of the machine) are stored.
inline constexpr std::string_view kShellFoldersKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
// Where the program-files directories are stored.
inline constexpr std::string_view kCurrentVersionKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
// ProfileList\<SID> holds "ProfileImagePath", a user's profile directory.
inline constexpr std::string_view kProfileListKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// The path of folder `id`, for the calling user when `user_sid` is empty, else
// for the user of that SID (an invalid SID text yields an empty path). The
// registry value comes first; %USERPROFILE% in it becomes the user's profile
// directory (for the calling user: $USERPROFILE when set, else the home
// directory) and %VAR% references are expanded; when that leaves nothing, the
// fallback of the table above. Empty when not found.
std::string GetSpecialFolder(SpecialFolder id, std::string_view user_sid = {});

// The registry step of GetSpecialFolder: reads the value of `id` (see the
// table) from `key_path` (ids 5 and 6: from kCurrentVersionKey) of the root
// and view that the caller set on `registry`. Id 20 sets `path` to
// "%USERPROFILE%"; on a failed read and for ids without a value `path` is left
// empty.
void ReadFolderValue(Registry& registry, std::string_view key_path, SpecialFolder id, std::string& path);

// Replaces every "%USERPROFILE%" (exact case) in `path` with the profile
// directory of `user_sid`: the "ProfileImagePath" of kProfileListKey\<SID>
// below HKEY_LOCAL_MACHINE, else the home directory in the password database
// of the uid of an "S-1-22-1-<uid>" SID ("S-1-5-18" is root). When the user
// has no profile directory, `path` becomes empty.
void ReplaceUserProfile(std::string& path, std::string_view user_sid);

// The profile directory of `user_sid` as ReplaceUserProfile finds it; empty
// when there is none.
std::string GetUserProfileDirectory(std::string_view user_sid);

// Expands %NAME% references in place from the process environment (names
// compare with their case, as Linux environment names do):
// - a defined NAME is replaced by its value (an empty value included);
// - an undefined NAME stays as written, both percent signs included, and the
//   scan goes on after its closing percent sign;
// - "%%" names nothing and stays "%%";
// - a percent sign without a closing one stays, with the rest of the text.
// Values are inserted as they stand, never expanded again.
void ExpandEnvironment(std::string& text);
