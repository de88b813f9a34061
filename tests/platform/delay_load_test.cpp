// The delay loader: which file a library comes from, what DelayLoad reports,
// the dependency record, and concurrent first use. Each case works on copies
// of a small probe library under names of its own, so that every case loads
// fresh libraries and can tell from a resolved address which copy it got.
#include "platform/delay_load.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/delay_import.h"
#include "platform/sqlite_registry.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScopedEnv;
using testing_support::TempDir;

using InitializeFn = void (*)();
using CountFn = int (*)();
using RecordFn = DelayLoadDependencies (*)();

const std::string kNsKey = "SOFTWARE\\Halvern\\NS\\";
const std::string kProfileKey = "SOFTWARE\\Halvern\\QOR\\Delay loading\\";

// The file a resolved address belongs to.
std::string LoadedFrom(void* address) {
  Dl_info info{};
  return address && ::dladdr(address, &info) && info.dli_fname ? info.dli_fname : "";
}

// A registry and a library directory of their own, and helpers to place
// copies of the probe library and registry values that point at them.
class Scene {
 public:
  Scene()
      : registry_env_("HALVERN_REGISTRY_DIR", dir_.File("registry")), lib_env_("HALVERN_LIB_DIR", dir_.File("lib")) {
    fs::create_directories(dir_.path() / "lib");
  }

  // Copies `source` to <folder>/<name> and returns the full path.
  std::string Install(const std::string& folder, const std::string& name, const char* source = DELAY_PROBE_LIBRARY) {
    fs::create_directories(dir_.path() / folder);
    const fs::path target = dir_.path() / folder / name;
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    return target.string();
  }

  void SetLocation(const std::string& key, const std::string& name, const std::string& path,
                   uint32_t type = REG_SZ) {
    SqliteRegistry registry(dir_.File("registry"));
    ASSERT_TRUE(registry.CreateKeyPath(key)) << key;
    switch (type) {
      case REG_SZ: ASSERT_TRUE(registry.SetString(key, name, path)); break;
      case REG_EXPAND_SZ: ASSERT_TRUE(registry.SetExpandString(key, name, path)); break;
      case REG_MULTI_SZ: ASSERT_TRUE(registry.SetMultiString(key, name, {path, Install("other", name)})); break;
      case REG_DWORD: ASSERT_TRUE(registry.SetDword(key, name, 1)); break;
      default: FAIL() << "type " << type;
    }
  }

  const fs::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  ScopedEnv registry_env_;
  ScopedEnv lib_env_;
};

// Delay-import slots for one probe library file name.
struct Probe {
  explicit Probe(const std::string& file_name)
      : name(file_name),
        library(name.c_str()),
        initialize(library, "DelayProbe_Initialize"),
        initialize_calls(library, "DelayProbe_InitializeCalls"),
        dependency_calls(library, "DelayProbe_DependencyCalls"),
        record(library, "DelayProbe_Record") {}

  int InitializeCalls() const { return initialize_calls.Get(nullptr)(); }
  int DependencyCalls() const { return dependency_calls.Get(nullptr)(); }
  // The folder (below the scene) of the copy that was loaded.
  std::string Folder(const Scene& scene) const {
    const fs::path file = LoadedFrom(initialize.Resolve(nullptr));
    return fs::relative(file.parent_path(), scene.path()).string();
  }

  std::string name;
  DelayImportLibrary library;
  DelayImport<InitializeFn> initialize;
  DelayImport<CountFn> initialize_calls;
  DelayImport<CountFn> dependency_calls;
  DelayImport<RecordFn> record;
};

// The plug-in's entries are fixed, valid and always get a result record;
// what a missing library or function leaves in it is what the log shows.
TEST(DelayLoad, ReportsEachFailureWithItsCodeAndLibrary) {
  Scene scene;
  scene.Install("lib", "libprobe_present.so");
  DelayImportLibrary missing("libprobe_missing.so");
  DelayImportLibrary present("libprobe_present.so");
  DelayImport<InitializeFn> in_missing(missing, "DelayProbe_Initialize");
  DelayImport<InitializeFn> no_such_function(present, "DelayProbe_NoSuchFunction");
  for (const auto& [entry, code, name] : {std::tuple{&in_missing, kDelayLoadLibraryNotFound, "libprobe_missing.so"},
                                          std::tuple{&no_such_function, kDelayLoadFunctionNotFound,
                                                     "libprobe_present.so"}}) {
    SCOPED_TRACE(name);
    DelayLoadResult result;
    std::memset(&result, 'z', sizeof result);
    EXPECT_EQ(DelayLoad("default", entry, &result), code);
    EXPECT_STREQ(result.library_name, name);
  }
}

TEST(DelayLoad, RunsTheEntryAndHandsTheIdentityToTheLibrary) {
  Scene scene;
  scene.Install("lib", "libprobe_entry.so");
  Probe probe("libprobe_entry.so");

  DelayLoadResult result;
  ASSERT_EQ(DelayLoad("svc_identity", &probe.initialize, &result), kDelayLoadOk);
  EXPECT_EQ(DelayLoadContext::Get().identity(), "svc_identity");
  EXPECT_EQ(probe.InitializeCalls(), 1);
  EXPECT_EQ(probe.DependencyCalls(), 1);
  const DelayLoadDependencies record = probe.record.Get(nullptr)();
  static_assert(sizeof(DelayLoadDependencies) == 24, "two 32-bit fields and two pointers on a 64-bit system");
  EXPECT_EQ(std::tuple(record.size, record.flags, std::string(record.identity ? record.identity : "(null)"),
                       record.search_directory == nullptr),
            std::tuple(24u, 0u, std::string("svc_identity"), true));

  // A second run calls the entry again but does not load the library again.
  ASSERT_EQ(DelayLoad("svc_identity", &probe.initialize, &result), kDelayLoadOk);
  EXPECT_EQ(probe.InitializeCalls(), 2);
  EXPECT_EQ(probe.DependencyCalls(), 1);

  // Without an identity the record carries none, and the identity stays empty
  // for later lazy loads.
  scene.Install("lib", "libprobe_anonymous.so");
  Probe anonymous("libprobe_anonymous.so");
  ASSERT_EQ(DelayLoad(nullptr, &anonymous.initialize, &result), kDelayLoadOk);
  EXPECT_EQ(DelayLoadContext::Get().identity(), "");
  EXPECT_EQ(anonymous.record.Get(nullptr)().identity, nullptr);
}

TEST(LocateAndLoadLibrary, FirstLocationInOrderWins) {
  struct Case {
    const char* title;
    const char* identity;      // given to DelayLoad (may be null)
    const char* ns_identity;   // NS key to fill, null for none
    uint32_t profile;          // Delay loading profile to fill, 0 for none
    bool in_lib_dir;           // a copy in the library directory
    const char* expected;      // folder of the copy loaded, null: not found
  };
  const Case cases[] = {
      {"NS key wins over profile and directory", "default", "default", 100, true, "ns"},
      {"profile wins over directory", "default", nullptr, 100, true, "profile"},
      {"directory last", "default", nullptr, 0, true, "lib"},
      {"identity differing in case skips the profile", "Default", nullptr, 100, true, "lib"},
      {"identity differing in case still has its NS key", "Default", "Default", 100, true, "ns"},
      {"kv_default profile", "kv_default", nullptr, 1400, true, "profile"},
      {"mbt_default profile", "mbt_default", nullptr, 1500, true, "profile"},
      {"no profile for other identities", "custom", nullptr, 100, false, nullptr},
      {"NS key of another identity is not read", "custom", "default", 0, false, nullptr},
      {"empty identity: directory only", "", nullptr, 100, true, "lib"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    const std::string name = "libprobe_order" + std::to_string(index++) + ".so";
    if (c.ns_identity) {
      scene.SetLocation(kNsKey + c.ns_identity + "\\QOR\\DelayLoad", name, scene.Install("ns", name));
    }
    if (c.profile) scene.SetLocation(kProfileKey + std::to_string(c.profile), name, scene.Install("profile", name));
    if (c.in_lib_dir) scene.Install("lib", name);

    Probe probe(name);
    DelayLoadResult result;
    const uint32_t code = DelayLoad(c.identity, &probe.initialize, &result);
    if (!c.expected) {
      EXPECT_EQ(code, kDelayLoadLibraryNotFound);
      EXPECT_EQ(std::string(result.library_name), name);
      continue;
    }
    ASSERT_EQ(code, kDelayLoadOk);
    EXPECT_EQ(probe.Folder(scene), c.expected);
  }
}

TEST(LocateAndLoadLibrary, RegistryValueFormsAndBadValues) {
  struct Case {
    const char* title;
    uint32_t type;
    // What the NS value holds, relative to the scene; "@copy" is a real copy.
    const char* value;
    const char* expected;  // folder of the copy loaded
  };
  const Case cases[] = {
      {"REG_SZ", REG_SZ, "@copy", "ns"},
      {"REG_EXPAND_SZ used as it stands", REG_EXPAND_SZ, "@copy", "ns"},
      {"REG_MULTI_SZ: its first string", REG_MULTI_SZ, "@copy", "ns"},
      {"REG_DWORD is no location", REG_DWORD, "@copy", "lib"},
      {"a relative path is never searched for", REG_SZ, "relative", "lib"},
      {"a file that is no library falls through", REG_SZ, "garbage", "lib"},
      {"an unreadable registry falls through", REG_SZ, "unreadable", "lib"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    const std::string name = "libprobe_form" + std::to_string(index++) + ".so";
    scene.Install("lib", name);
    std::string value = c.value;
    const bool unreadable = value == "unreadable";  // a good location in a registry no one can read
    if (value == "@copy" || unreadable) {
      value = scene.Install("ns", name);
    } else if (value == "relative") {
      // Exists relative to the working directory, which must not matter.
      scene.Install("ns", name);
      value = fs::relative(scene.path() / "ns" / name, fs::current_path()).string();
    } else if (value == "garbage") {
      value = (scene.path() / "bad.so").string();
      testing_support::WriteFile(value, "\x7f" "ELF but not really");
    }
    scene.SetLocation(kNsKey + "svc\\QOR\\DelayLoad", name, value, c.type);
    if (unreadable) testing_support::WriteFile(scene.path() / "registry" / "HKLM.db", std::string(4096, 'Z'));

    Probe probe(name);
    ASSERT_EQ(DelayLoad("svc", &probe.initialize, nullptr), kDelayLoadOk);
    EXPECT_EQ(probe.Folder(scene), c.expected);
  }
}

// The libraries' names are fixed file names of the product; a path or an
// empty name never comes here.
TEST(LocateAndLoadLibrary, NeverUsesTheLoaderSearchPath) {
  Scene scene;
  for (const char* name : {"libc.so.6", "libsqlite3.so.0"}) EXPECT_EQ(LocateAndLoadLibrary(name), nullptr) << name;

  // The directory itself is fixed at build time unless overridden.
  ::unsetenv("HALVERN_LIB_DIR");
  EXPECT_EQ(DelayLoadLibraryDirectory(), VELDER_LIB_DIR_FOR_TEST);
  ::setenv("HALVERN_LIB_DIR", "", 1);
  EXPECT_EQ(DelayLoadLibraryDirectory(), VELDER_LIB_DIR_FOR_TEST);
}

TEST(DelayImport, ConcurrentFirstUseLoadsOnce) {
  Scene scene;
  scene.Install("lib", "libprobe_race.so");
  Probe probe("libprobe_race.so");

  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::vector<void*> addresses(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      DelayImportFailure failure = DelayImportFailure::kLibraryNotFound;
      addresses[i] = probe.initialize.Resolve(&failure);
      EXPECT_EQ(failure, DelayImportFailure::kNone);
    });
  }
  for (auto& t : threads) t.join();
  for (void* address : addresses) EXPECT_EQ(address, addresses[0]);
  ASSERT_NE(addresses[0], nullptr);
  EXPECT_EQ(probe.DependencyCalls(), 1) << "the library was located once";
}

}  // namespace
