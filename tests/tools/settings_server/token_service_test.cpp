#include "token_service.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace settings_server {
namespace {

using nlohmann::json;

TEST(TokenServiceTest, IssueAndAuthenticate) {
  testing_support::TempDir dir;
  std::string error;
  auto db = SettingsDatabase::Open(dir.File("s.db"), error);
  ASSERT_TRUE(db) << error;
  const std::string secret = TokenService::NewSecret();
  ASSERT_EQ(db->AddMachine({"lab1", TokenService::Digest(secret), 0}), DbResult::kOk);
  int64_t now = 1000;
  TokenService tokens(*db, 60, [&] { return now; });

  struct Case {
    json request;
    int status;
  };
  // A wrong secret, a SID that is none, an unknown token, a disabled client: settings_server_test.
  const Case refused[] = {
      {json::object(), 400},
      {{{"enrolment_secret", secret}, {"sid", 5}}, 400},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.request.dump());
    EXPECT_EQ(tokens.Issue(c.request).status, c.status);
  }

  // A lower-case SID names the same (upper-case) client.
  const auto grant = tokens.Issue({{"enrolment_secret", secret}, {"sid", "s-1-5-18"}});
  ASSERT_EQ(grant.status, 200) << grant.body.dump();
  EXPECT_EQ(grant.client, (ClientKey{"lab1", "S-1-5-18"}));
  EXPECT_EQ(grant.body["token_type"], "Bearer");
  EXPECT_EQ(grant.body["expires_in"], 60);
  const std::string token = grant.body["access_token"];
  EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._~-"),
            std::string::npos);

  EXPECT_EQ(tokens.Authenticate("Bearer " + token).status, 0);
  EXPECT_EQ(tokens.Authenticate("bearer " + token).client.key, grant.client);
  EXPECT_EQ(tokens.Authenticate(token).status, 401);

  now += 60;  // expired
  EXPECT_EQ(tokens.Authenticate("Bearer " + token).status, 401);
}

}  // namespace
}  // namespace settings_server
