#include "core/utf8.h"

#include <random>

#include <gtest/gtest.h>

namespace pelagon2 {
namespace {

using namespace std::string_literals;

// U+FFFD, written R in the expectations below.
std::string with_replacements(std::string_view pattern) {
  std::string out;
  for (const char c : pattern) {
    if (c == 'R') {
      out += "\xEF\xBF\xBD";
    } else {
      out += c;
    }
  }
  return out;
}

TEST(Utf8Lossy, OneReplacementPerMaximalInvalidSubpart) {
  const struct {
    const char* label;
    std::string bytes;
    std::string expected;  // 'R' stands for U+FFFD
  } cases[] = {
      {"ASCII and NUL", "a\0b"s, "a\0b"s},
      {"two-byte", "\xC3\xA9", "\xC3\xA9"},
      {"highest BMP before surrogates", "\xED\x9F\xBF", "\xED\x9F\xBF"},
      {"first after surrogates", "\xEE\x80\x80", "\xEE\x80\x80"},
      {"four-byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"U+10FFFF", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"lone continuations", "\x80\xBF", "RR"},
      {"bytes never in UTF-8", "\xC0\xC1\xF5\xFE\xFF", "RRRRR"},
      {"overlong two-byte", "\xC0\xAF", "RR"},
      {"overlong three-byte", "\xE0\x80\xAF", "RRR"},
      {"overlong three-byte, high", "\xE0\x9F\xBF", "RRR"},
      {"overlong four-byte", "\xF0\x8F\xBF\xBF", "RRRR"},
      {"surrogate high", "\xED\xA0\x80", "RRR"},
      {"surrogate low", "\xED\xBF\xBF", "RRR"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "RRRR"},
      {"cut at the end, three-byte", "ab\xE2\x82", "abR"},
      {"cut at the end, four-byte", "\xF0\x9F\x98", "R"},
      {"cut at the end, lead only", "x\xF0", "xR"},
      {"cut before ASCII", "\xF0\x9F\x98" "A", "RA"},
      {"cut before a full character", "\xE2\x82\xE2\x82\xAC", "R\xE2\x82\xAC"},
      // The example sequence of the Unicode Standard's U+FFFD guidance.
      {"mixed", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "aRRRbRcRRd"},
  };
  for (const auto& c : cases) {
    const std::string expected = with_replacements(c.expected);
    EXPECT_EQ(utf8_lossy(c.bytes), expected) << c.label;
    EXPECT_EQ(is_valid_utf8(c.bytes), expected == c.bytes) << c.label;
  }
}

TEST(Utf8Lossy, OutputIsAlwaysValidAndStable) {
  std::mt19937 gen(9);
  // Bytes weighted towards lead and continuation bytes, where the faults are.
  const unsigned char alphabet[] = {'a', 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC2, 0xDF, 0xE0, 0xE1,
                                    0xED, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xC0, 0xFF};
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(gen() % 24, '\0');
    for (auto& b : bytes) b = static_cast<char>(alphabet[gen() % sizeof alphabet]);
    const std::string once = utf8_lossy(bytes);
    ASSERT_TRUE(is_valid_utf8(once)) << round;
    ASSERT_EQ(utf8_lossy(once), once) << round;
    if (is_valid_utf8(bytes)) {
      ASSERT_EQ(once, bytes);
    }
  }
}

}  // namespace
}  // namespace pelagon2
