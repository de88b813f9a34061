// The plug-in's access to the maker libraries: a missing library or function
// is a result code (never a crash), and once the library is there the same
// calls reach it. Each test works on libraries the others do not touch, so
// that the order of the tests does not matter even in one process.
#include "platform/maker_libraries.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/delay_load.h"
#include "platform/sqlite_registry.h"
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

  // Installed later (here: the build's library folder), the next call finds it.
  libs.emplace("HALVERN_LIB_DIR", MAKER_LIBRARY_DIR);
  EXPECT_EQ(maker::QorClientAuth_GetBearerToken(kUser, &token), QOR_CLIENT_AUTH_NO_TOKEN);
  {
    SqliteRegistry store(dir.File("registry"));
    ASSERT_TRUE(store.CreateKeyPath(QOR_CLIENT_AUTH_TOKENS_KEY));
    ASSERT_TRUE(store.SetString(QOR_CLIENT_AUTH_TOKENS_KEY, kUser, "abc.DEF-123"));
  }
  ASSERT_EQ(maker::QorClientAuth_GetBearerToken(kUser, &token), QOR_CLIENT_AUTH_OK);
  ASSERT_NE(token, nullptr);
  EXPECT_STREQ(token, "abc.DEF-123");
  maker::QorClientAuth_FreeString(token);
  EXPECT_EQ(maker::QorClientAuth_RefreshToken(kUser), QOR_CLIENT_AUTH_OK);
  EXPECT_EQ(maker::QorClientAuth_GetBearerToken(kUser, &token), QOR_CLIENT_AUTH_TOKEN_REJECTED);
  EXPECT_STREQ(maker::QorClientAuth_ErrorAsString(QOR_CLIENT_AUTH_TOKEN_REJECTED),
               "The token was rejected and no new token is available yet");

  const uint32_t session = maker::QorProxyResolver_OpenSession("svc");
  ASSERT_NE(session, 0u);
  EXPECT_EQ(maker::QorProxyResolver_SetServer(session, "settings.example.net"), 0u);
  ASSERT_EQ(maker::QorProxyResolver_GetProxy(session, &proxy), 0u);
  ASSERT_NE(proxy, nullptr);
  EXPECT_STREQ(proxy, "");
  EXPECT_EQ(maker::QorProxyResolver_ProxySucceeded(session), 0u);
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

  DelayLoadResult result;
  EXPECT_EQ(DelayLoad("svc", &maker::QorPushApi_DelayLoadInitializeEntry(), &result), kDelayLoadFunctionNotFound);
  EXPECT_STREQ(result.library_name, "libhv_qor_push_api.so");
}

// The IPC library's server and client sides through the access layer, as the
// plug-in and a client use them.
uint32_t Answer(uint32_t kind, const uint8_t* bytes, uint32_t count, HvIpcMessage* message, void*) {
  char* sid = maker::HvIPC_MessageGetClientSID(message);
  std::string reply = std::to_string(kind) + ":" + std::string(reinterpret_cast<const char*>(bytes), count) + ":" +
                      (sid ? sid : "?") + ":" + std::to_string(maker::HvIPC_MessageIsClientAdmin(message) != 0) +
                      ":" + (*maker::HvIPC_MessageGetSenderChannel(message) ? "channel" : "none");
  maker::HvIPC_MessageFreeSID(sid);
  maker::HvIPC_MessageSetResponse(message, reinterpret_cast<const uint8_t*>(reply.data()),
                                  static_cast<uint32_t>(reply.size()));
  return 0;
}

TEST(MakerLibraries, PlugInStartLoadsIpcAndServes) {
  testing_support::TempDir dir;
  ScopedEnv registry("HALVERN_REGISTRY_DIR", dir.File("registry"));
  ScopedEnv libs("HALVERN_LIB_DIR", MAKER_LIBRARY_DIR);
  ScopedEnv ipc_dir("HV_QOR_IPC_DIR", dir.File("ipc"));

  DelayLoadResult result;
  ASSERT_EQ(DelayLoad("svc_maker", &maker::HvIPC_DelayLoadInitializeEntry(), &result), kDelayLoadOk)
      << result.library_name;

  HvIpcServer* server = nullptr;
  ASSERT_EQ(maker::HvIPC_RunServer(&server, "svc_maker", "MAKER_TEST", HV_IPC_SERVER_DEFAULT_FLAGS, Answer, nullptr,
                                   0),
            HV_IPC_OK);
  HvIpcClient* client = nullptr;
  ASSERT_EQ(maker::HvIPC_ClientConnect(&client, "svc_maker", "MAKER_TEST", 5000, nullptr, nullptr), HV_IPC_OK);
  EXPECT_STRNE(maker::HvIPC_ClientGetChannel(client), "");
  const std::string request = "ping";
  uint8_t* response = nullptr;
  uint32_t count = 0;
  ASSERT_EQ(maker::HvIPC_ClientRequest(client, 1, reinterpret_cast<const uint8_t*>(request.data()),
                                       static_cast<uint32_t>(request.size()), 5000, &response, &count),
            HV_IPC_OK);
  const std::string expected_sid = ::geteuid() == 0 ? "S-1-5-18" : "S-1-22-1-" + std::to_string(::geteuid());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(response), count),
            "1:ping:" + expected_sid + ":" + std::to_string(::geteuid() == 0) + ":channel");
  maker::HvIPC_ClientFreeBuffer(response);
  maker::HvIPC_ClientClose(client);
  EXPECT_EQ(maker::HvIPC_StopServer(server), HV_IPC_OK);
}

}  // namespace
