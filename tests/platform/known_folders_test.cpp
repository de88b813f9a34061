#include "platform/known_folders.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>

#include "platform/sqlite_registry.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ScopedEnv;
using testing_support::TempDir;

// Each test gets an empty registry of its own, a known home and no XDG or
// profile variables from the machine that runs it.
class SpecialFoldersTest : public testing::Test {
 protected:
  SpecialFoldersTest() {
    env_.Set("HALVERN_REGISTRY_DIR", dir_.File("registry"));
    env_.Set("HOME", dir_.File("home"));
    for (const char* name : {"USERPROFILE", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) env_.Unset(name);
  }

  void SetValue(HKEY root, const std::string& key, const std::string& name, const std::string& value,
                bool expand = false) {
    SqliteRegistry registry(dir_.File("registry"));
    registry.SetRootKey(root);
    ASSERT_TRUE(registry.CreateKeyPath(key));
    ASSERT_TRUE(expand ? registry.SetExpandString(key, name, value) : registry.SetString(key, name, value));
  }
  void SetShellFolder(const std::string& name, const std::string& value) {
    SetValue(HKEY_CURRENT_USER, std::string(kShellFoldersKey), name, value, /*expand=*/true);
  }
  void SetProfile(const std::string& sid, const std::string& dir) {
    SetValue(HKEY_LOCAL_MACHINE, std::string(kProfileListKey) + "\\" + sid, "ProfileImagePath", dir);
  }
  std::string Home() const { return dir_.File("home"); }

  TempDir dir_;
  ScopedEnv env_;
};

std::string PasswordHome(uid_t uid) {
  const struct passwd* pw = ::getpwuid(uid);
  return pw && pw->pw_dir ? pw->pw_dir : "";
}

TEST_F(SpecialFoldersTest, ExpandEnvironment) {
  env_.Set("VELDER_T_A", "alpha");
  env_.Set("VELDER_T_EMPTY", "");
  env_.Set("VELDER_T_PCT", "%VELDER_T_A%");
  env_.Unset("VELDER_T_UNDEF");
  for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
           {"%VELDER_T_A%", "alpha"},
           {"x%VELDER_T_A%y%VELDER_T_A%", "xalphayalpha"},
           {"%VELDER_T_EMPTY%x", "x"},
           {"%VELDER_T_UNDEF%/x", "%VELDER_T_UNDEF%/x"},
           // The closing sign of an undefined name is not reused as an opening one.
           {"%VELDER_T_UNDEF%VELDER_T_A%", "%VELDER_T_UNDEF%VELDER_T_A%"},
           {"%VELDER_T_UNDEF%%VELDER_T_A%", "%VELDER_T_UNDEF%alpha"},
           {"%%", "%%"},
           {"a%%VELDER_T_A%", "a%%VELDER_T_A%"},
           {"100%", "100%"},
           {"%", "%"},
           {"%VELDER_T_A", "%VELDER_T_A"},
           {"%velder_t_a%", "%velder_t_a%"},  // names keep their case
           {"%VELDER_T_PCT%", "%VELDER_T_A%"},  // values are not expanded again
           {"%A=B%", "%A=B%"},
           {"", ""},
       }) {
    std::string text = in;
    ExpandEnvironment(text);
    EXPECT_EQ(text, out) << in;
  }
}

TEST_F(SpecialFoldersTest, AnotherUsersFoldersComeFromItsProfileNotTheCallersEnvironment) {
  const std::string sid = "S-1-22-1-4242";
  env_.Set("USERPROFILE", "/profiles/caller");
  SetProfile(sid, "/home/other");
  SetValue(HKEY_USERS, sid + "\\" + std::string(kShellFoldersKey), "Local AppData", "%USERPROFILE%/AppData/Local",
           true);
  // The caller's own value must not be used for the other user.
  SetShellFolder("Local AppData", "/caller/local");

  EXPECT_EQ(GetSpecialFolder(SpecialFolder::LocalAppData, sid), "/home/other/AppData/Local");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::LocalAppData, "s-1-22-1-4242"), "/home/other/AppData/Local");
  // No registry value: the default places below that user's profile.
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::AppData, sid), "/home/other/.config");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Desktop, sid), "/home/other/Desktop");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Cache, sid), "/home/other/.cache");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::LocalAppData), "/caller/local");
}

TEST_F(SpecialFoldersTest, ProfilesFromThePasswordDatabase) {
  // No ProfileList entries: uid SIDs find their home in the password database.
  const std::string root_home = PasswordHome(0);
  ASSERT_FALSE(root_home.empty());
  EXPECT_EQ(GetUserProfileDirectory("S-1-5-18"), root_home);
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Profile, "S-1-5-18"), root_home);
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::LocalAppData, "S-1-5-18"), root_home + "/.local/share");

  if (struct passwd* nobody = ::getpwnam("nobody")) {
    const std::string sid = "S-1-22-1-" + std::to_string(nobody->pw_uid);
    EXPECT_EQ(GetUserProfileDirectory(sid), nobody->pw_dir);
    // A ProfileList entry wins over the password database.
    SetProfile(sid, "/profiles/nobody");
    EXPECT_EQ(GetUserProfileDirectory(sid), "/profiles/nobody");
  }
}

TEST_F(SpecialFoldersTest, SidsWithoutAProfileOrNotWellFormedYieldNothing) {
  // Values for SIDs with neither a ProfileList entry nor a uid the password
  // database knows, and one that a key path escaping the user's hive could reach.
  for (const std::string sid : {"S-1-5-21-1-2-3-1001", "S-1-22-1-4000000000", "S-1-5-18"}) {
    const std::string key = sid + "\\" + std::string(kShellFoldersKey);
    SetValue(HKEY_USERS, key, "Local AppData", "%USERPROFILE%/AppData/Local", true);
    SetValue(HKEY_USERS, key, "Cache", "/absolute/cache", true);
  }
  for (const char* sid : {"S-1-5-21-1-2-3-1001", "S-1-22-1-4000000000", "S-1-5-18\\..", "..\\S-1-5-18",
                          "S-1-5-18\\x", "nobody", "S-1-22-1-1000/x", " S-1-5-18"}) {
    SCOPED_TRACE(sid);
    EXPECT_EQ(GetUserProfileDirectory(sid), "");
    EXPECT_EQ(GetSpecialFolder(SpecialFolder::LocalAppData, sid), "");
    EXPECT_EQ(GetSpecialFolder(SpecialFolder::Cache, sid), "") << "even an absolute value";
    EXPECT_EQ(GetSpecialFolder(SpecialFolder::Desktop, sid), "");
    std::string path = "%USERPROFILE%/x";
    ReplaceUserProfile(path, sid);
    EXPECT_EQ(path, "");
  }
}

TEST_F(SpecialFoldersTest, ProgramFilesDirectories) {
  // Nothing in the registry: the Linux convention.
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFiles), "/opt");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFilesX86), "/opt");

  // Only the native value (a 32-bit machine): both ids give it.
  SetValue(HKEY_LOCAL_MACHINE, std::string(kCurrentVersionKey), "ProgramFilesDir", "/srv/programs");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFilesX86), "/srv/programs");

  SetValue(HKEY_LOCAL_MACHINE, std::string(kCurrentVersionKey), "ProgramFilesDir (x86)", "/srv/programs32");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFiles), "/srv/programs");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFilesX86), "/srv/programs32");
  // Machine-wide folders do not depend on the user.
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFilesX86, "S-1-5-21-1-2-3-1001"), "/srv/programs32");
}

TEST_F(SpecialFoldersTest, UnreadableRegistryFallsBack) {
  std::filesystem::create_directories(dir_.path() / "registry" / "HKU");
  testing_support::WriteFile(dir_.path() / "registry" / "HKLM.db", std::string(4096, 'x'));
  testing_support::WriteFile(dir_.path() / "registry" / "HKU" / "S-1-5-18.db", "not a database");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFiles), "/opt");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::CommonAppData), "/var/lib");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Cache), Home() + "/.cache");
  // Without a readable profile list, the password database still knows root.
  EXPECT_EQ(GetUserProfileDirectory("S-1-5-18"), PasswordHome(0));
}

}  // namespace
