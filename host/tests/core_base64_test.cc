#include "core/base64.h"

#include <random>

#include <gtest/gtest.h>

namespace pelagon2 {
namespace {

std::string as_string(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(Base64, KnownVectorsBothWays) {
  const struct {
    std::string_view plain, encoded;
  } cases[] = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFF\xFE\x41", "//5B"},
      {std::string_view("\0\0\0\xFB\xEF\xBE", 6), "AAAA++++"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64_encode(c.plain), c.encoded);
    auto decoded = base64_decode(c.encoded);
    ASSERT_TRUE(decoded.ok()) << c.encoded << ": " << decoded.error();
    EXPECT_EQ(as_string(*decoded), c.plain);
  }
}

TEST(Base64, RandomRoundTripsAtEveryTailLength) {
  std::mt19937 gen(42);
  for (std::size_t length = 0; length < 260; ++length) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(gen());
    const std::string text = base64_encode(bytes);
    ASSERT_EQ(text.size() % 4, 0u);
    ASSERT_EQ(text.size(), (length + 2) / 3 * 4);
    auto back = base64_decode(text);
    ASSERT_TRUE(back.ok()) << back.error();
    ASSERT_EQ(*back, bytes) << "length " << length;
  }
}

// Each fault names the offending byte (decimal) and its zero-based offset;
// where several faults exist, a byte outside the alphabet is reported first,
// then a lone final symbol, then '=' misplaced or wrongly counted, and the
// left-over bits last.
TEST(Base64, RejectionReasons) {
  const struct {
    std::string_view text, reason;
  } cases[] = {
      // Bytes outside the alphabet, wherever they are.
      {"Zm9v!", "Invalid symbol 33, offset 4."},
      {" Zm9v", "Invalid symbol 32, offset 0."},
      {"Zm9v\n", "Invalid symbol 10, offset 4."},
      {"Zm9v\r\nZm9v", "Invalid symbol 13, offset 4."},
      {"Zm-_", "Invalid symbol 45, offset 2."},
      {"Zm\xC3\xA9", "Invalid symbol 195, offset 2."},
      {"Z!", "Invalid symbol 33, offset 1."},
      {"Zg=!", "Invalid symbol 33, offset 3."},
      // '=' in the wrong place: the first '=' is named.
      {"Zg==Zg==", "Invalid symbol 61, offset 2."},
      {"Z=g=", "Invalid symbol 61, offset 1."},
      {"Zm9v=", "Invalid symbol 61, offset 4."},
      {"Zm9v====", "Invalid symbol 61, offset 4."},
      {"====", "Invalid symbol 61, offset 0."},
      // One lone symbol in the final group; the length is the whole text's.
      {"Z", "Invalid input length: 1"},
      {"Zm9vZ", "Invalid input length: 5"},
      {"Z=", "Invalid input length: 2"},
      {"Zm9vZ===", "Invalid input length: 8"},
      // Padding missing or not completing the group.
      {"Zg", "Invalid padding"},
      {"Zg=", "Invalid padding"},
      {"Zm8", "Invalid padding"},
      {"Zm8==", "Invalid padding"},
      {"Zg===", "Invalid padding"},
      {"Zh=", "Invalid padding"},
      // Left-over bits of the last symbol must be zero.
      {"Zh==", "Invalid last symbol 104, offset 1."},
      {"Zm9=", "Invalid last symbol 57, offset 2."},
      {"Zm9vYh==", "Invalid last symbol 104, offset 5."},
      {"Zm9vZm/=", "Invalid last symbol 47, offset 6."},
  };
  for (const auto& c : cases) {
    auto decoded = base64_decode(c.text);
    ASSERT_FALSE(decoded.ok()) << "accepted: " << c.text;
    EXPECT_EQ(decoded.error(), c.reason) << "input: " << c.text;
  }
}

}  // namespace
}  // namespace pelagon2
