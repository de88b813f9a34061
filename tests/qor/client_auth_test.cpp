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

// Result code and token of one GetBearerToken call.
struct Answer {
  uint32_t code;
  std::string token;
  bool operator==(const Answer&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Answer& a) { return out << a.code << " '" << a.token << "'"; }

Answer Get(const char* user) {
  char* token = reinterpret_cast<char*>(1);
  const uint32_t code = QorClientAuth_GetBearerToken(user, &token);
  Answer answer{code, token ? token : ""};
  if (code != QOR_CLIENT_AUTH_OK) {
    EXPECT_EQ(token, nullptr);
  }
  QorClientAuth_FreeString(token);
  return answer;
}

class ClientAuthTest : public ::testing::Test {
 protected:
  void Store(const std::string& user, const std::string& token) {
    ASSERT_TRUE(registry_.CreateKeyPath(kKey));
    ASSERT_TRUE(registry_.SetString(kKey, user, token));
  }

  testing_support::TempDir dir_;
  testing_support::ScopedEnv env_{"HALVERN_REGISTRY_DIR", dir_.File("registry")};
  SqliteRegistry registry_{dir_.File("registry")};
};

TEST_F(ClientAuthTest, TokenMustBeAWellFormedBearerCredential) {
  const std::string longest(QOR_CLIENT_AUTH_MAX_TOKEN, 'a');
  struct Case {
    const char* title;
    std::string stored;
    uint32_t code;
  };
  const Case cases[] = {
      {"typical", "eyJhbGciOi.abc_DEF-123~+/==", QOR_CLIENT_AUTH_OK},
      {"padding only at the end", "abc==", QOR_CLIENT_AUTH_OK},
      {"longest", longest, QOR_CLIENT_AUTH_OK},
      {"too long", longest + "a", QOR_CLIENT_AUTH_TOKEN_MALFORMED},
      {"empty", "", QOR_CLIENT_AUTH_TOKEN_MALFORMED},
      {"space", "abc def", QOR_CLIENT_AUTH_TOKEN_MALFORMED},
      {"header injection", "abc\r\nX-Evil: 1", QOR_CLIENT_AUTH_TOKEN_MALFORMED},
      {"trailing line break", "abc\n", QOR_CLIENT_AUTH_TOKEN_MALFORMED},
      {"padding first", "=abc", QOR_CLIENT_AUTH_TOKEN_MALFORMED},
      {"padding inside", "ab=cd", QOR_CLIENT_AUTH_TOKEN_MALFORMED},
      {"not ASCII", "t\xc3\xb6ken", QOR_CLIENT_AUTH_TOKEN_MALFORMED},
      {"scheme included", "Bearer abc", QOR_CLIENT_AUTH_TOKEN_MALFORMED},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const std::string user = "S-1-22-1-" + std::to_string(100 + index++);
    Store(user, c.stored);
    EXPECT_EQ(Get(user.c_str()), (Answer{c.code, c.code == QOR_CLIENT_AUTH_OK ? c.stored : ""}));
  }
}

TEST_F(ClientAuthTest, ValueTypesUsersAndMissingTokens) {
  ASSERT_TRUE(registry_.CreateKeyPath(kKey));
  ASSERT_TRUE(registry_.SetExpandString(kKey, "S-1-22-1-201", "expand%X%"));
  ASSERT_TRUE(registry_.SetExpandString(kKey, "S-1-22-1-202", "plainexpand"));
  ASSERT_TRUE(registry_.SetDword(kKey, "S-1-22-1-203", 7));
  ASSERT_TRUE(registry_.SetMultiString(kKey, "S-1-22-1-204", {"abc"}));
  ASSERT_TRUE(registry_.SetBinary(kKey, "S-1-22-1-205", {'a', 0, 'b', 0}));
  ASSERT_TRUE(registry_.SetString(kKey, "S-1-22-1-206", "upper"));

  EXPECT_EQ(Get("S-1-22-1-201"), (Answer{QOR_CLIENT_AUTH_TOKEN_MALFORMED, ""})) << "used as it stands: '%' is refused";
  EXPECT_EQ(Get("S-1-22-1-202"), (Answer{QOR_CLIENT_AUTH_OK, "plainexpand"}));
  EXPECT_EQ(Get("S-1-22-1-203"), (Answer{QOR_CLIENT_AUTH_TOKEN_MALFORMED, ""}));
  EXPECT_EQ(Get("S-1-22-1-204"), (Answer{QOR_CLIENT_AUTH_TOKEN_MALFORMED, ""}));
  EXPECT_EQ(Get("S-1-22-1-205"), (Answer{QOR_CLIENT_AUTH_TOKEN_MALFORMED, ""}));
  EXPECT_EQ(Get("s-1-22-1-206"), (Answer{QOR_CLIENT_AUTH_OK, "upper"})) << "SID in any case";
  EXPECT_EQ(Get("S-1-22-1-299"), (Answer{QOR_CLIENT_AUTH_NO_TOKEN, ""})) << "no value: signed out";

  for (const char* bad : {"", "bob", "S-1-5-18\\x", "S-1-5-18/../x"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Get(bad).code, static_cast<uint32_t>(QOR_CLIENT_AUTH_INVALID_ARGUMENT));
    EXPECT_EQ(QorClientAuth_RefreshToken(bad), static_cast<uint32_t>(QOR_CLIENT_AUTH_INVALID_ARGUMENT));
  }
  EXPECT_EQ(Get(nullptr).code, static_cast<uint32_t>(QOR_CLIENT_AUTH_INVALID_ARGUMENT));
  EXPECT_EQ(QorClientAuth_GetBearerToken("S-1-22-1-202", nullptr),
            static_cast<uint32_t>(QOR_CLIENT_AUTH_INVALID_ARGUMENT));
  EXPECT_EQ(QorClientAuth_RefreshToken(nullptr), static_cast<uint32_t>(QOR_CLIENT_AUTH_INVALID_ARGUMENT));
  QorClientAuth_FreeString(nullptr);
}

TEST_F(ClientAuthTest, MissingStoreIsSignedOutDamagedStoreIsUnavailable) {
  EXPECT_EQ(Get("S-1-22-1-301").code, static_cast<uint32_t>(QOR_CLIENT_AUTH_NO_TOKEN)) << "no registry at all";
  std::filesystem::create_directories(dir_.path() / "registry");
  testing_support::WriteFile(dir_.path() / "registry" / "HKLM.db", std::string(8192, '\x42'));
  EXPECT_EQ(Get("S-1-22-1-301").code, static_cast<uint32_t>(QOR_CLIENT_AUTH_STORE_UNAVAILABLE));
  EXPECT_EQ(QorClientAuth_RefreshToken("S-1-22-1-301"), static_cast<uint32_t>(QOR_CLIENT_AUTH_STORE_UNAVAILABLE));
}

TEST_F(ClientAuthTest, RejectedTokenIsHeldBackUntilANewOneIsStored) {
  const char* user = "S-1-22-1-401";
  const char* neighbour = "S-1-22-1-402";
  // Without a static token a refresh only drops the endpoint's cached token.
  EXPECT_EQ(QorClientAuth_RefreshToken(user), static_cast<uint32_t>(QOR_CLIENT_AUTH_OK));
  Store(user, "first");
  Store(neighbour, "theirs");
  EXPECT_EQ(Get(user), (Answer{QOR_CLIENT_AUTH_OK, "first"}));

  EXPECT_EQ(QorClientAuth_RefreshToken("s-1-22-1-401"), static_cast<uint32_t>(QOR_CLIENT_AUTH_OK));
  EXPECT_EQ(Get(user), (Answer{QOR_CLIENT_AUTH_TOKEN_REJECTED, ""}));
  EXPECT_EQ(Get(user), (Answer{QOR_CLIENT_AUTH_TOKEN_REJECTED, ""})) << "until something changes";
  EXPECT_EQ(Get(neighbour), (Answer{QOR_CLIENT_AUTH_OK, "theirs"})) << "other users are not affected";

  Store(user, "second");
  EXPECT_EQ(Get(user), (Answer{QOR_CLIENT_AUTH_OK, "second"}));
  EXPECT_EQ(QorClientAuth_RefreshToken(user), static_cast<uint32_t>(QOR_CLIENT_AUTH_OK));
  ASSERT_TRUE(registry_.DeleteValue(kKey, user));
  EXPECT_EQ(Get(user).code, static_cast<uint32_t>(QOR_CLIENT_AUTH_NO_TOKEN)) << "signed out beats rejected";
  Store(user, "second");
  EXPECT_EQ(Get(user).code, static_cast<uint32_t>(QOR_CLIENT_AUTH_TOKEN_REJECTED)) << "the same token is still bad";
  Store(user, "bad token");
  EXPECT_EQ(QorClientAuth_RefreshToken(user), static_cast<uint32_t>(QOR_CLIENT_AUTH_TOKEN_MALFORMED));
}

}  // namespace
