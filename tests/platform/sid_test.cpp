#include "platform/sid.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Sid, OnlyWellFormedTextsAreSidsSoNoneCanNameAnotherFile) {
  for (const char* good : {"S-1-5-18", "s-1-5-18", "S-1-22-1-1000", "S-1-5-21-1-2-3-500", "S-1-0-4294967295",
                           "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15"}) {
    EXPECT_TRUE(IsValidSidText(good)) << good;
  }
  for (const char* bad : {"", "S", "S-1", "S-1-5", "S-1-5-", "S-2-5-18", "S-1-5-18-", "S-1-5--18", "S-1-5-4294967296",
                          "S-1-5-18/../x", "S-1-5-x", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", "../S-1-5-18",
                          "S-1-5-18 ", "S-1-5-+1", "S-1-281474976710656-1"}) {
    EXPECT_FALSE(IsValidSidText(bad)) << bad;
  }
}

TEST(Sid, UidMapping) {
  EXPECT_EQ(SidForUid(0), "S-1-5-18");
  EXPECT_EQ(SidForUid(1000), "S-1-22-1-1000");
  EXPECT_EQ(UidForSid("S-1-5-18"), 0u);
  EXPECT_EQ(UidForSid("S-1-22-1-65534"), 65534u);
  EXPECT_EQ(UidForSid("S-1-22-1-"), std::nullopt);
  EXPECT_EQ(UidForSid("S-1-22-1-0"), std::nullopt);
  EXPECT_EQ(UidForSid("S-1-22-1-12x"), std::nullopt);
  EXPECT_EQ(UidForSid("S-1-5-21-1-2-3"), std::nullopt);
}

}  // namespace
}  // namespace platform
