#include "fault_injector.h"

#include <gtest/gtest.h>

namespace settings_server {
namespace {

using nlohmann::json;

TEST(FaultInjectorTest, FromJsonRefusesWhatCannotBeArmed) {
  const char* invalid[] = {
      R"([])",
      R"({"kind":"explode"})",
      R"({"kind":"status"})",
      R"({"kind":"status","status":418})",
      R"({"kind":"delay"})",
      R"({"kind":"drop","count":-1})",
      R"({"kind":"drop","seconds":"5"})",
      R"({"kind":"drop","on":"everything"})",
      R"({"kind":"drop","sid":""})",
  };
  for (const char* text : invalid) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(FaultInjector::FromJson(json::parse(text), 0, error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(FaultInjectorTest, TakeCountsRequestsOfItsScopeAndClientAndEndsWithItsTimeSpan) {
  FaultInjector faults;
  std::string error;
  auto add = [&](const char* text) { faults.Add(*FaultInjector::FromJson(json::parse(text), 1000, error)); };
  // Aimed at one client: others, and requests naming none, pass untouched.
  add(R"({"kind":"status","status":403,"on":"get","sid":"S-1-5-18"})");
  EXPECT_FALSE(faults.Take(RequestKind::kGetSettings, "S-1-22-1-65534", 1000));
  EXPECT_FALSE(faults.Take(RequestKind::kGetSettings, "", 1000));
  EXPECT_EQ(faults.Take(RequestKind::kGetSettings, "s-1-5-18", 1000)->status, 403);
  add(R"({"kind":"status","status":503,"count":2})");       // settings by default
  add(R"({"kind":"drop","on":"token"})");                    // one request
  add(R"({"kind":"no-etag","on":"node","seconds":2})");      // until 3000 ms

  EXPECT_FALSE(faults.Take(RequestKind::kPush, "", 1000));
  for (int i = 0; i < 2; ++i) {
    auto f = faults.Take(i == 0 ? RequestKind::kGetSettings : RequestKind::kPatchSettings, "", 1000);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->status, 503);
  }
  EXPECT_FALSE(faults.Take(RequestKind::kGetSettings, "", 1000));
  EXPECT_EQ(faults.Take(RequestKind::kToken, "", 1000)->kind, FaultKind::kDrop);
  EXPECT_FALSE(faults.Take(RequestKind::kToken, "", 1000));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(faults.Take(RequestKind::kNode, "", 2999));
  EXPECT_FALSE(faults.Take(RequestKind::kNode, "", 3000));
  EXPECT_TRUE(faults.List(3000).empty());
}

}  // namespace
}  // namespace settings_server
