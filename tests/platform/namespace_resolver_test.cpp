#include "platform/namespace_resolver.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/known_folders.h"
#include "platform/sqlite_registry.h"
#include "platform/utf.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

const std::string kBom = "\xFF\xFE";

// A namespace file as an installer writes it: the mark, then UTF-16LE text.
void WriteNamespace(const fs::path& dir, const std::string& text) {
  fs::create_directories(dir);
  testing_support::WriteFile(dir / "namespace.txt", kBom + platform::Utf8ToUtf16LeBytes(text));
}

// A registry and two program-files directories of the test's own.
class NamespaceTest : public testing::Test {
 protected:

  // Names <tmp>/pf and <tmp>/pf86 in the registry, as an installer would.
  void UseProgramFiles() {
    SqliteRegistry registry(dir_.File("registry"));
    const std::string key(kCurrentVersionKey);
    ASSERT_TRUE(registry.CreateKeyPath(key));
    ASSERT_TRUE(registry.SetString(key, "ProgramFilesDir", pf()));
    ASSERT_TRUE(registry.SetString(key, "ProgramFilesDir (x86)", pf86()));
    fs::create_directories(pf());
    fs::create_directories(pf86());
  }
  std::string pf() const { return dir_.File("pf"); }
  std::string pf86() const { return dir_.File("pf86"); }

  std::string Resolve(const std::string& path) {
    NamespaceResolver resolver;
    return ResolveNamespace(resolver, path);
  }

  TempDir dir_;
  testing_support::ScopedEnv env_{"HALVERN_REGISTRY_DIR", dir_.File("registry")};
};

TEST_F(NamespaceTest, ReadNamespaceFile) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string ns;
  };
  const std::string long_text(300, 'n');
  for (const Case& c : {
           Case{"line end dropped", kBom + platform::Utf8ToUtf16LeBytes(" acme\r\n"), " acme"},
           Case{"UTF-8, first line only", "acme\r\nmore\n", "acme"},
           Case{"UTF-8 with its own mark", "\xEF\xBB\xBF" "gr\xC3\xB6\xC3\x9F" "e", "größe"},
           Case{"neither UTF-8 nor marked", "\xC3(", ""},
           Case{"non-ASCII", kBom + platform::Utf8ToUtf16LeBytes("größe"), "größe"},
           Case{"odd trailing byte ignored", kBom + platform::Utf8ToUtf16LeBytes("ab") + "c", "ab"},
           Case{"only 512 bytes count", kBom + platform::Utf8ToUtf16LeBytes(long_text), std::string(255, 'n')},
           Case{"big-endian mark", "\xFE\xFF" + std::string("\0a\0c", 4), ""},
           Case{"empty file", "", ""},
           Case{"unpaired surrogate", kBom + std::string("\x00\xD8", 2) + "a" + std::string(1, '\0'), ""},
       }) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    testing_support::WriteFile(dir.path() / "namespace.txt", c.bytes);
    NamespaceResolver resolver;
    EXPECT_EQ(resolver.ReadNamespaceFile(dir.path().string()), c.ns);
  }
}

TEST_F(NamespaceTest, ReadNamespaceFileOfSomethingElse) {
  NamespaceResolver resolver;
  EXPECT_EQ(resolver.ReadNamespaceFile(dir_.File("missing")), "");
  // A FIFO is never read (it would block until a writer came).
  fs::create_directories(dir_.path() / "fifo");
  ASSERT_EQ(::mkfifo((dir_.path() / "fifo" / "namespace.txt").c_str(), 0600), 0);
  EXPECT_EQ(resolver.ReadNamespaceFile(dir_.File("fifo")), "");
  // A symbolic link to a namespace file is followed.
  WriteNamespace(dir_.path() / "real", "linked");
  fs::create_directories(dir_.path() / "link");
  fs::create_symlink(dir_.path() / "real" / "namespace.txt", dir_.path() / "link" / "namespace.txt");
  EXPECT_EQ(resolver.ReadNamespaceFile(dir_.File("link")), "linked");
}

TEST_F(NamespaceTest, NearestNamespaceFileBelowTheVendorDirectoryWins) {
  UseProgramFiles();
  const std::string exe = pf() + "/V/P/bin/host";
  fs::create_directories(pf() + "/V/P/bin");
  WriteNamespace(pf(), "in-program-files");  // never read
  EXPECT_EQ(Resolve(exe), "");
  WriteNamespace(pf() + "/V", "vendor");
  EXPECT_EQ(Resolve(exe), "vendor");
  WriteNamespace(pf() + "/V/P", "product");
  EXPECT_EQ(Resolve(exe), "product");
  WriteNamespace(pf() + "/V/P/bin", "bin");
  EXPECT_EQ(Resolve(exe), "bin");
  // A file that declares nothing does not stop the walk.
  testing_support::WriteFile(pf() + "/V/P/bin/namespace.txt", "\n");
  EXPECT_EQ(Resolve(exe), "product");

  for (const auto& [path, ns] : std::vector<std::pair<std::string, std::string>>{
           {pf() + "/host", ""},                      // no vendor directory
           {pf() + "//V/host", ""},                   // an empty vendor name
           {pf() + "/V/host", "vendor"},              // the vendor directory itself
           {dir_.File("elsewhere/V/P/bin/host"), ""},  // outside both
           {pf() + "x/V/P/bin/host", ""},             // a sibling that only shares the prefix
       }) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Resolve(path), ns);
  }
}

TEST_F(NamespaceTest, ProgramFilesAreMatchedWithoutRegardToCaseAndAsWholeNames) {
  UseProgramFiles();
  WriteNamespace(pf() + "/V", "vendor");
  std::string upper = pf();
  upper.replace(upper.rfind("pf"), 2, "PF");
  // The walk reads the directories as spelled in the path, so only the
  // matching is tested here: the stop directory is met in either spelling.
  NamespaceResolver resolver;
  std::string root;
  EXPECT_TRUE(resolver.MatchProgramFilesRoot(upper + "/V/x", 5, root));
  EXPECT_EQ(root, pf() + "/");
  EXPECT_FALSE(resolver.MatchProgramFilesRoot(dir_.File("other/x"), 5, root));
  EXPECT_EQ(resolver.FindNamespace(pf() + "/V/P/bin/host", upper + "/V"), "vendor");
}

TEST_F(NamespaceTest, BothProgramFilesDirectoriesNativeFirst) {
  UseProgramFiles();
  WriteNamespace(pf86() + "/V32", "thirty-two");
  EXPECT_EQ(Resolve(pf86() + "/V32/P/host"), "thirty-two");

  // With the 32-bit directory inside the native one, the native match wins
  // and the vendor directory is the one below the native directory.
  SqliteRegistry registry(dir_.File("registry"));
  ASSERT_TRUE(registry.SetString(std::string(kCurrentVersionKey), "ProgramFilesDir (x86)", pf() + "/x86"));
  WriteNamespace(pf() + "/x86", "x86-as-vendor");
  WriteNamespace(pf() + "/x86/V", "vendor-below-x86");
  EXPECT_EQ(Resolve(pf() + "/x86/V/P/host"), "vendor-below-x86");
  fs::remove(pf() + "/x86/V/namespace.txt");
  EXPECT_EQ(Resolve(pf() + "/x86/V/P/host"), "x86-as-vendor");
}

TEST(NamespaceResolver, IsValidNamespace) {
  for (const char* good : {"acme", "kv_default", "with space", "größe", "a-b", ""})
    EXPECT_TRUE(IsValidNamespace(good)) << good;
  for (const char* bad : {"a.b", ".", "..", "a/b", "a\\b", "\\", "/", "trailing."})
    EXPECT_FALSE(IsValidNamespace(bad)) << bad;
}

// The real program: a copy of this test executable placed below a
// program-files directory reports GetNamespaceRegistryRoot() when started with
// VELDER_NS_PROBE_OUT set (and is skipped otherwise).
//   line 1-8: the roots seen by eight threads asking at once
//   line 9:   the root asked for again after VELDER_NS_PROBE_REWRITE (a
//             namespace.txt path) was rewritten with VELDER_NS_PROBE_TEXT
TEST(NamespaceProbe, ReportsRegistryRoot) {
  const char* out = ::getenv("VELDER_NS_PROBE_OUT");
  if (out == nullptr) GTEST_SKIP() << "only run as a copied program";
  std::vector<std::string> roots(8);
  {
    std::vector<std::jthread> threads;
    for (auto& root : roots) threads.emplace_back([&root] { root = GetNamespaceRegistryRoot(); });
  }
  if (const char* rewrite = ::getenv("VELDER_NS_PROBE_REWRITE")) {
    const char* text = ::getenv("VELDER_NS_PROBE_TEXT");
    std::ofstream(rewrite, std::ios::binary | std::ios::trunc) << kBom + platform::Utf8ToUtf16LeBytes(text ? text : "");
  }
  roots.push_back(GetNamespaceRegistryRoot());
  std::ofstream file(out);
  for (const auto& root : roots) file << root << "\n";
}

class NamespaceProcessTest : public NamespaceTest {
 protected:
  // Copies this executable to `dir`/probe, runs it and returns its report.
  std::vector<std::string> RunProbe(const fs::path& dir, const std::vector<std::string>& extra_env = {}) {
    fs::create_directories(dir);
    const fs::path probe = dir / "probe";
    fs::copy_file("/proc/self/exe", probe, fs::copy_options::overwrite_existing);
    fs::permissions(probe, fs::perms::owner_all);
    const std::string out = dir_.File("report");
    fs::remove(out);

    std::vector<std::string> env{"VELDER_NS_PROBE_OUT=" + out};  // the registry is the fixture's
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    testing_support::ChildProcess child({probe.string(), "--gtest_filter=NamespaceProbe.ReportsRegistryRoot"}, env);
    EXPECT_EQ(child.Wait(), 0) << child.err();
    std::vector<std::string> lines;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

TEST_F(NamespaceProcessTest, ProgramBelowProgramFiles) {
  const std::string shared = "SOFTWARE\\Halvern", ns = shared + "\\NS\\";
  const struct {
    const char* vendor_path;
    const char* text;  // null: no namespace file at first
    const char* rewritten;
    std::string first, last;
  } cases[] = {
      {"Vendor/Product", "acme", "changed", ns + "acme", ns + "acme"},
      {"Empty", nullptr, "late", shared, ns + "late"},
      {"Dotted", "a.b", "a.b", shared, shared},  // IsValidNamespace has the other invalid names
  };
  UseProgramFiles();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vendor_path);
    const std::string dir = pf() + "/" + c.vendor_path;
    fs::create_directories(dir);
    if (c.text) WriteNamespace(dir, c.text);
    std::vector<std::string> expected(8, c.first);
    expected.push_back(c.last);
    EXPECT_EQ(RunProbe(dir + "/bin", {"VELDER_NS_PROBE_REWRITE=" + dir + "/namespace.txt",
                                      std::string("VELDER_NS_PROBE_TEXT=") + c.rewritten}),
              expected);
  }
}

}  // namespace
