#include "platform/utf.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Utf, RoundTripsEveryPlane) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, u"a\u00E9\u20AC\U0001F600z");
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  EXPECT_EQ(Utf16LeBytesToUtf8(Utf8ToUtf16LeBytes(text)), text);
  EXPECT_EQ(Utf8ToUtf16LeBytes("AB"), std::string("A\0B\0", 4));
}

TEST(Utf, InvalidInputGivesEmptyString) {
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3", "ok\xFF", "\x80"}) {
    SCOPED_TRACE(bad);
    EXPECT_TRUE(Utf8ToUtf16(bad).empty());
    EXPECT_FALSE(IsValidUtf8(bad));
  }
  EXPECT_TRUE(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))).empty());
  EXPECT_TRUE(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00)) + u"x").empty());
  EXPECT_TRUE(Utf16LeBytesToUtf8(std::string("A\0B", 3)).empty());
}

}  // namespace
}  // namespace platform
