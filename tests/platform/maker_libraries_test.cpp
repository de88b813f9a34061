// The plug-in's access to the maker libraries: a missing library or function
// is a result code (never a crash), and once the library is there the same
// calls reach it. Each test works on libraries the others do not touch, so
// that the order of the tests does not matter even in one process.
#include "platform/maker_libraries.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ScopedEnv;

namespace fs = std::filesystem;

constexpr char kUser[] = "S-1-22-1-4242";

TEST(MakerLibraries, MissingLibraryIsAnErrorCodeUntilItIsInstalled) {
  testing_support::TempDir dir;
  fs::create_directories(dir.path() / "empty");
  ScopedEnv registry("HALVERN_REGISTRY_DIR", dir.File("registry"));
  std::optional<ScopedEnv> libs;
  libs.emplace("HALVERN_LIB_DIR", dir.File("empty"));

  char garbage = 'x';
  char* token = &garbage;
  EXPECT_EQ(maker::QorClientAuth_GetBearerToken(kUser, &token), maker::kLibraryNotFound);
  EXPECT_EQ(token, nullptr);
  EXPECT_EQ(maker::QorClientAuth_RefreshToken(kUser), maker::kLibraryNotFound);
  maker::QorClientAuth_FreeString(nullptr);
  EXPECT_STREQ(maker::QorClientAuth_ErrorAsString(maker::kLibraryNotFound), "The library could not be loaded");
  EXPECT_NE(std::string(maker::QorClientAuth_ErrorAsString(QOR_CLIENT_AUTH_NO_TOKEN)).find("not available"),
            std::string::npos);

  EXPECT_EQ(maker::QorProxyResolver_OpenSession("svc"), 0u) << "no session: direct connections";
  const char* proxy = "stale";
  EXPECT_EQ(maker::QorProxyResolver_GetProxy(1, &proxy), maker::kLibraryNotFound);
  EXPECT_EQ(proxy, nullptr);
  EXPECT_EQ(maker::QorProxyResolver_ProxyFailed(1), maker::kLibraryNotFound);

  // Installed later (here: the build's library folder), the next call finds
  // it; what the libraries answer is theirs to test.
  libs.emplace("HALVERN_LIB_DIR", MAKER_LIBRARY_DIR);
  EXPECT_EQ(maker::QorClientAuth_GetBearerToken(kUser, &token), QOR_CLIENT_AUTH_NO_TOKEN);
  const uint32_t session = maker::QorProxyResolver_OpenSession("svc");
  ASSERT_NE(session, 0u);
  EXPECT_EQ(maker::QorProxyResolver_GetProxy(session, &proxy), 0u);
  EXPECT_EQ(maker::QorProxyResolver_CloseSession(session), 0u);
}

TEST(MakerLibraries, LibraryWithoutTheFunctionIsAnErrorCode) {
  testing_support::TempDir dir;
  ScopedEnv registry("HALVERN_REGISTRY_DIR", dir.File("registry"));
  ScopedEnv libs("HALVERN_LIB_DIR", dir.path().string());
  // A real library under the push library's name: it loads, but has none of
  // the push functions.
  fs::copy_file(PROXY_RESOLVER_LIBRARY, dir.path() / maker::kPushApiLibrary);

  uint32_t registration = 77;
  EXPECT_EQ(maker::QorPushApi_RegisterCallbackUser(&registration, "svc", kUser, nullptr, nullptr),
            maker::kFunctionNotFound);
  EXPECT_EQ(registration, 0u);
  EXPECT_EQ(maker::QorPushApi_UnregisterCallback(5), maker::kFunctionNotFound);
  EXPECT_STREQ(maker::QorPushApi_ErrorAsString(maker::kFunctionNotFound),
               "The library does not export the function called");
  EXPECT_NE(std::string(maker::QorPushApi_ErrorAsString(2)).find("not available"), std::string::npos);
}

}  // namespace
