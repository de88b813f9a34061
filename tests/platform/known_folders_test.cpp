// The special folders the product asks for: the 32-bit program files folder
// that the namespace lookup reads (the user folders have no caller).
#include "platform/known_folders.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/sqlite_registry.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ScopedEnv;
using testing_support::TempDir;

// Each test gets an empty registry of its own.
class SpecialFoldersTest : public testing::Test {
 protected:
  SpecialFoldersTest() { env_.Set("HALVERN_REGISTRY_DIR", dir_.File("registry")); }

  void SetProgramFiles(const std::string& name, const std::string& value) {
    SqliteRegistry registry(dir_.File("registry"));
    const std::string key(kCurrentVersionKey);
    ASSERT_TRUE(registry.CreateKeyPath(key) && registry.SetString(key, name, value));
  }

  TempDir dir_;
  ScopedEnv env_;
};

TEST_F(SpecialFoldersTest, ExpandEnvironment) {
  env_.Set("VELDER_T_A", "alpha");
  env_.Set("VELDER_T_EMPTY", "");
  env_.Set("VELDER_T_PCT", "%VELDER_T_A%");
  env_.Unset("VELDER_T_UNDEF");
  for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
           {"x%VELDER_T_A%y%VELDER_T_A%", "xalphayalpha"},
           {"%VELDER_T_EMPTY%x", "x"},
           // The closing sign of an undefined name is not reused as an opening one.
           {"%VELDER_T_UNDEF%VELDER_T_A%", "%VELDER_T_UNDEF%VELDER_T_A%"},
           {"%VELDER_T_UNDEF%%VELDER_T_A%", "%VELDER_T_UNDEF%alpha"},
           {"%%", "%%"},
           {"a%%VELDER_T_A%", "a%%VELDER_T_A%"},
           {"%VELDER_T_A", "%VELDER_T_A"},
           {"%velder_t_a%", "%velder_t_a%"},  // names keep their case
           {"%VELDER_T_PCT%", "%VELDER_T_A%"},  // values are not expanded again
           {"%A=B%", "%A=B%"},
       }) {
    std::string text = in;
    ExpandEnvironment(text);
    EXPECT_EQ(text, out) << in;
  }
}

TEST_F(SpecialFoldersTest, ProgramFilesX86) {
  // Nothing in the registry: the Linux convention.
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFilesX86), "/opt");
  // Only the native value (a 32-bit machine): it stands for both.
  SetProgramFiles("ProgramFilesDir", "/srv/programs");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFilesX86), "/srv/programs");
  SetProgramFiles("ProgramFilesDir (x86)", "/srv/programs32");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFilesX86), "/srv/programs32");

  // A registry that cannot be read: the convention again.
  testing_support::WriteFile(dir_.path() / "registry" / "HKLM.db", std::string(4096, 'x'));
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::ProgramFilesX86), "/opt");
}

}  // namespace
