// The client-authentication library: tokens read from the registry store,
// refused when they could break a request header, held back after a rejection.
#include <gtest/gtest.h>

#include <string>

#include "platform/sqlite_registry.h"
#include "qor/client_auth/hv_qor_client_auth.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

const std::string kKey = QOR_CLIENT_AUTH_TOKENS_KEY;
constexpr uint32_t kOk = QOR_CLIENT_AUTH_OK, kMalformed = QOR_CLIENT_AUTH_TOKEN_MALFORMED;
constexpr uint32_t kInvalid = QOR_CLIENT_AUTH_INVALID_ARGUMENT, kRejected = QOR_CLIENT_AUTH_TOKEN_REJECTED;

// Result code and token of one GetBearerToken call: "<code> <token>".
std::string Get(const char* user) {
  char* token = reinterpret_cast<char*>(1);
  const uint32_t code = QorClientAuth_GetBearerToken(user, &token);
  const std::string answer = std::to_string(code) + " " + (token ? token : "");
  EXPECT_TRUE(code == kOk || token == nullptr);
  QorClientAuth_FreeString(token);
  return answer;
}
std::string Answer(uint32_t code, const std::string& token = "") { return std::to_string(code) + " " + token; }

class ClientAuthTest : public ::testing::Test {
 protected:
  void Store(const std::string& user, const std::string& token) {
    ASSERT_TRUE(registry_.CreateKeyPath(kKey) && registry_.SetString(kKey, user, token));
  }

  testing_support::TempDir dir_;
  testing_support::ScopedEnv env_{"HALVERN_REGISTRY_DIR", dir_.File("registry")};
  SqliteRegistry registry_{dir_.File("registry")};
};

TEST_F(ClientAuthTest, TokenMustBeAWellFormedBearerCredential) {
  const std::string longest(QOR_CLIENT_AUTH_MAX_TOKEN, 'a');
  const struct {
    const char* title;
    std::string stored;
    uint32_t code;
  } cases[] = {
      // A character outside the set (a blank, a line break, a scheme, non-ASCII) is one rule: the injection.
      {"typical", "eyJhbGciOi.abc_DEF-123~+/==", kOk}, {"padding only at the end", "abc==", kOk},
      {"longest", longest, kOk}, {"too long", longest + "a", kMalformed},
      {"header injection", "abc\r\nX-Evil: 1", kMalformed}, {"padding first", "=abc", kMalformed},
      {"padding inside", "ab=cd", kMalformed},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    const std::string user = "S-1-22-1-" + std::to_string(100 + index++);
    Store(user, c.stored);
    EXPECT_EQ(Get(user.c_str()), Answer(c.code, c.code == kOk ? c.stored : ""));
  }
}

TEST_F(ClientAuthTest, ValueTypesUsersAndMissingTokens) {
  ASSERT_TRUE(registry_.CreateKeyPath(kKey));
  ASSERT_TRUE(registry_.SetExpandString(kKey, "S-1-22-1-201", "expand%X%"));  // used as it stands: '%' is refused
  ASSERT_TRUE(registry_.SetExpandString(kKey, "S-1-22-1-202", "plainexpand"));
  ASSERT_TRUE(registry_.SetBinary(kKey, "S-1-22-1-205", {'a', 0, 'b', 0}));  // "ab" if read as text
  ASSERT_TRUE(registry_.SetString(kKey, "S-1-22-1-206", "upper"));
  EXPECT_EQ(Get("S-1-22-1-201"), Answer(kMalformed));
  EXPECT_EQ(Get("S-1-22-1-205"), Answer(kMalformed));
  EXPECT_EQ(Get("S-1-22-1-202"), Answer(kOk, "plainexpand"));
  EXPECT_EQ(Get("s-1-22-1-206"), Answer(kOk, "upper")) << "SID in any case";
  EXPECT_EQ(Get("S-1-22-1-299"), Answer(QOR_CLIENT_AUTH_NO_TOKEN)) << "no value: signed out";
  for (const char* bad : {"", "bob", "S-1-5-18\\x", "S-1-5-18/../x"}) {
    EXPECT_EQ(Get(bad), Answer(kInvalid)) << bad;
    EXPECT_EQ(QorClientAuth_RefreshToken(bad), kInvalid) << bad;
  }
  EXPECT_EQ(Get(nullptr), Answer(kInvalid));
  EXPECT_EQ(QorClientAuth_GetBearerToken("S-1-22-1-202", nullptr), kInvalid);
  EXPECT_EQ(QorClientAuth_RefreshToken(nullptr), kInvalid);
  QorClientAuth_FreeString(nullptr);
}

TEST_F(ClientAuthTest, DamagedStoreIsUnavailable) {
  std::filesystem::create_directories(dir_.path() / "registry");
  testing_support::WriteFile(dir_.path() / "registry" / "HKLM.db", std::string(8192, '\x42'));
  EXPECT_EQ(Get("S-1-22-1-301"), Answer(QOR_CLIENT_AUTH_STORE_UNAVAILABLE));
  EXPECT_EQ(QorClientAuth_RefreshToken("S-1-22-1-301"), uint32_t{QOR_CLIENT_AUTH_STORE_UNAVAILABLE});
}

TEST_F(ClientAuthTest, RejectedTokenIsHeldBackUntilANewOneIsStored) {
  const char *user = "S-1-22-1-401", *neighbour = "S-1-22-1-402";
  // Without a static token a refresh only drops the endpoint's cached token.
  EXPECT_EQ(QorClientAuth_RefreshToken(user), kOk);
  Store(user, "first");
  Store(neighbour, "theirs");
  EXPECT_EQ(Get(user), Answer(kOk, "first"));
  EXPECT_EQ(QorClientAuth_RefreshToken("s-1-22-1-401"), kOk);
  EXPECT_EQ(Get(user), Answer(kRejected));
  EXPECT_EQ(Get(user), Answer(kRejected)) << "until something changes";
  EXPECT_EQ(Get(neighbour), Answer(kOk, "theirs")) << "other users are not affected";
  Store(user, "second");
  EXPECT_EQ(Get(user), Answer(kOk, "second"));
  EXPECT_EQ(QorClientAuth_RefreshToken(user), kOk);
  ASSERT_TRUE(registry_.DeleteValue(kKey, user));
  EXPECT_EQ(Get(user), Answer(QOR_CLIENT_AUTH_NO_TOKEN)) << "signed out beats rejected";
  Store(user, "second");
  EXPECT_EQ(Get(user), Answer(kRejected)) << "the same token is still bad";
  Store(user, "bad token");
  EXPECT_EQ(QorClientAuth_RefreshToken(user), kMalformed);
}

}  // namespace
