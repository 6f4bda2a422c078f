#include "base/utf8.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/quoted.h"

namespace tarnwick {
namespace {

/// One code point at a time, as the text helpers decode.
std::string replaced_slowly(std::string_view text) {
  std::string out;
  for (size_t pos = 0; pos < text.size();) {
    size_t start = pos;
    if (decode_valid_utf8(text, pos))
      out.append(text.substr(start, pos - start));
    else
      append_utf8(out, 0xFFFD);
  }
  return out;
}

TEST(ValidUtf8Prefix, StopsAtTheFirstInvalidSequence) {
  EXPECT_EQ(valid_utf8_prefix(std::string(100, 'a')), 100u);
  EXPECT_EQ(valid_utf8_prefix("abc\xF0\x9F\x98\x80\xE2\x82\xAC\xC3\xA9"), 12u);
  EXPECT_EQ(valid_utf8_prefix("abcdefghij\xC0\x80"), 10u);  // overlong two bytes
  EXPECT_EQ(valid_utf8_prefix("ab\xE0\x80\xAF"), 2u);       // overlong three bytes
  EXPECT_EQ(valid_utf8_prefix("ab\xF0\x8F\xBF\xBF"), 2u);   // overlong four bytes
  EXPECT_EQ(valid_utf8_prefix("ab\xED\xA0\x80"), 2u);       // surrogate
  EXPECT_EQ(valid_utf8_prefix("ab\xF4\x90\x80\x80"), 2u);   // above U+10FFFF
  EXPECT_EQ(valid_utf8_prefix("ab\xF5\x80\x80\x80"), 2u);   // no such lead byte
  EXPECT_EQ(valid_utf8_prefix("abcdefgh\x80"), 8u);         // stray continuation
  EXPECT_EQ(valid_utf8_prefix("abcdefg\xE2\x82"), 7u);      // cut by the end
  EXPECT_EQ(valid_utf8_prefix("abcdefg\xF0\x9F\x98"), 7u);  // cut by the end
  EXPECT_EQ(valid_utf8_prefix("\xEF\xBF\xBD"), 3u);         // a real U+FFFD
}

// The bulk path replaces exactly as the one-code-point-at-a-time decoder.
TEST(IntoValidUtf8, ReplacesLikeTheDecoder) {
  std::mt19937 random(7);
  const unsigned char bytes[] = {'a',  'z',  0x00, 0x7F, 0x80, 0xBF, 0xC2, 0xC0, 0xDF, 0xE0,
                                 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x90, 0x9F};
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    size_t length = random() % 24;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>(bytes[random() % sizeof bytes]);
    ASSERT_EQ(into_valid_utf8(text), replaced_slowly(text)) << round;
    ASSERT_EQ(is_valid_utf8(text), replaced_slowly(text) == text) << round;
  }
}

}  // namespace
}  // namespace tarnwick
