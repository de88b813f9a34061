#include "notify/utf16_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/utf.h"

namespace {

using notify::Utf16Less;

// Texts from every UTF-8 length class, around the places where UTF-16 order
// differs from code point order, sort as their UTF-16 forms do; bytes that
// never occur in UTF-8 (0xFE, 0xFF, lone lead or continuation bytes) still
// sort as a strict total order, or sorting could misbehave and
// de-duplication could merge different channels.
TEST(Utf16OrderTest, AgreesWithTheUtf16FormAndIsAStrictTotalOrderAlsoOnMalformedText) {
  std::vector<std::string> texts = {
      "", "a", "A", "ab", "a\x7f", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf" /* U+D7FF */,
      "\xee\x80\x80" /* U+E000 */, "\xef\xbf\xbd" /* U+FFFD */, "\xef\xbf\xbf" /* U+FFFF */,
      "\xf0\x90\x80\x80" /* U+10000 */, "\xf0\x9f\x98\x80" /* U+1F600 */, "\xf4\x8f\xbf\xbf" /* U+10FFFF */,
      "x\xef\xbf\xbd", "x\xf0\x90\x80\x80", "\xef\xbf\xbd" "a", "\xf0\x90\x80\x80" "a"};
  const size_t valid = texts.size();
  for (int byte : {0x80, 0xbf, 0xc3, 0xed, 0xf0, 0xf5, 0xfe, 0xff}) {
    texts.push_back(std::string(1, static_cast<char>(byte)));
    texts.push_back(std::string(1, static_cast<char>(byte)) + "z");
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string& a = texts[i];
    EXPECT_FALSE(Utf16Less(a, a));
    for (size_t j = 0; j < texts.size(); ++j) {
      const std::string& b = texts[j];
      EXPECT_TRUE(i >= valid || j >= valid ||
                  Utf16Less(a, b) == (platform::Utf8ToUtf16(a) < platform::Utf8ToUtf16(b))) << i << " " << j;
      EXPECT_TRUE(a == b || Utf16Less(a, b) != Utf16Less(b, a)) << i << " " << j;
      for (const std::string& c : texts) {
        EXPECT_TRUE(!Utf16Less(a, b) || !Utf16Less(b, c) || Utf16Less(a, c)) << i << " " << j;
      }
    }
  }
}

}  // namespace
