// The score map against a slow double-precision reference, bit for bit, and
// the defining properties of the score.

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <random>
#include <string>

#include "cpu_targets.h"
#include "match_reference.h"
#include "vision_core/match.h"

namespace vision_core {
namespace {

using reference::crop_copy;
using reference::textured_image;

// Compares two maps cell by cell on the bit patterns of the scores.
void expect_identical(const ScoreMap& got, const ScoreMap& want, const std::string& what) {
  ASSERT_EQ(got.width, want.width) << what;
  ASSERT_EQ(got.height, want.height) << what;
  ASSERT_EQ(got.scores.size(), want.scores.size()) << what;
  std::size_t mismatches = 0;
  for (std::uint32_t y = 0; y < got.height; ++y)
    for (std::uint32_t x = 0; x < got.width; ++x) {
      if (std::bit_cast<std::uint32_t>(got.at(x, y)) != std::bit_cast<std::uint32_t>(want.at(x, y))) {
        if (++mismatches <= 5) ADD_FAILURE() << what << " cell (" << x << "," << y << "): " << got.at(x, y) << " vs " << want.at(x, y);
      }
    }
  EXPECT_EQ(mismatches, 0u) << what;
}

struct SizeCase {
  std::uint32_t hay_w, hay_h, pat_w, pat_h;
};

TEST(ScoreMap, MatchesReferenceBitForBit) {
  const SizeCase cases[] = {
      {40, 30, 7, 5},    {97, 41, 64, 9},   {150, 40, 65, 12}, {130, 30, 100, 7}, {60, 50, 1, 9},
      {60, 20, 9, 1},    {33, 33, 1, 1},    {25, 19, 25, 19},  {26, 19, 25, 19},  {90, 70, 31, 17},
      {120, 60, 16, 16}, {71, 35, 33, 34},  {200, 24, 3, 24},  {45, 45, 2, 2},    {300, 12, 129, 11},
      {700, 20, 5, 19},  {400, 9, 333, 8},  {99, 99, 49, 48},
      // Sums too long for one 32-bit lane are split: a pattern of over 66000
      // pixels, and one row of over 132000 values per channel.
      {270, 263, 260, 258}, {66070, 2, 66060, 1},
      // Columns taller than 32-bit squares allow.
      {3, 66060, 1, 66052},
  };
  std::uint32_t seed = 1;
  for (const SizeCase& c : cases) {
    const RgbImage hay = textured_image(c.hay_w, c.hay_h, seed++);
    // Patterns cut from the haystack (exact matches exist) and independent ones.
    reference::Rng rng(seed);
    const std::uint32_t px = rng() % (c.hay_w - c.pat_w + 1), py = rng() % (c.hay_h - c.pat_h + 1);
    const RgbImage cut = crop_copy(hay.view(), px, py, c.pat_w, c.pat_h);
    const RgbImage other = textured_image(c.pat_w, c.pat_h, seed++);
    for (const RgbImage* pat : {&cut, &other}) {
      const std::string what = std::to_string(c.pat_w) + "x" + std::to_string(c.pat_h) + " in " +
                               std::to_string(c.hay_w) + "x" + std::to_string(c.hay_h);
      expect_identical(score_map(hay.view(), pat->view()), reference::score_map(hay.view(), pat->view()), what);
    }
  }
}

// Every CPU target the library was built for, as far as this CPU runs it,
// gives the same bits.
TEST(ScoreMap, EveryCpuTargetMatchesReference) {
  const RgbImage hay = textured_image(301, 90, 17);
  const RgbImage pat = crop_copy(hay.view(), 120, 40, 67, 33);
  const RgbImage narrow = crop_copy(hay.view(), 10, 3, 270, 21);
  const ScoreMap want = reference::score_map(hay.view(), pat.view());
  const ScoreMap want_narrow = reference::score_map(hay.view(), narrow.view());
  const int tried = vision_core::testing::for_each_cpu_target([&](const char* target) {
    expect_identical(score_map(hay.view(), pat.view()), want, std::string("target ") + target);
    expect_identical(score_map(hay.view(), narrow.view()), want_narrow, std::string("narrow, target ") + target);
  });
  EXPECT_GE(tried, 1);
}

TEST(ScoreMap, NearFlatInputsMatchReference) {
  // One-step deviations on flat colours: tiny energies where rounding matters most.
  RgbImage hay(70, 40);
  reference::Rng rng(7);
  for (std::size_t i = 0; i < hay.pixels.size(); i += 3) {
    hay.pixels[i] = 200;
    hay.pixels[i + 1] = 13;
    hay.pixels[i + 2] = static_cast<std::uint8_t>(rng() % 23 == 0 ? 101 : 100);
  }
  RgbImage pat(12, 10);
  for (std::size_t i = 0; i < pat.pixels.size(); i += 3) {
    pat.pixels[i] = 255;
    pat.pixels[i + 1] = 0;
    pat.pixels[i + 2] = 7;
  }
  pat.pixels[3 * 17 + 2] = 8;  // a single deviating value
  expect_identical(score_map(hay.view(), pat.view()), reference::score_map(hay.view(), pat.view()), "near-flat");
}

TEST(ScoreMap, ViewsWithStrideMatchPackedCopies) {
  const RgbImage big = textured_image(160, 90, 99);
  const RgbView window = big.view().crop(13, 7, 101, 61);
  const RgbImage packed = crop_copy(big.view(), 13, 7, 101, 61);
  const RgbImage pat = crop_copy(big.view(), 40, 30, 21, 18);
  expect_identical(score_map(window, pat.view()), reference::score_map(packed.view(), pat.view()), "strided");
  EXPECT_FLOAT_EQ(score_map(window, pat.view()).at(40 - 13, 30 - 7), 1.0f);
}

TEST(ScoreMap, IdentityScoresOneAndInversionMinusOne) {
  const RgbImage hay = textured_image(120, 80, 5);
  RgbImage pat = crop_copy(hay.view(), 37, 21, 30, 20);
  const ScoreMap same = score_map(hay.view(), pat.view());
  EXPECT_NEAR(same.at(37, 21), 1.0f, 1e-6f);
  for (auto& v : pat.pixels) v = static_cast<std::uint8_t>(255 - v);
  const ScoreMap inverted = score_map(hay.view(), pat.view());
  EXPECT_NEAR(inverted.at(37, 21), -1.0f, 1e-6f);
  for (float s : inverted.scores) {
    EXPECT_GE(s, -1.0f);
    EXPECT_LE(s, 1.0f);
  }
}

TEST(ScoreMap, FlatPatternGivesAllZeros) {
  const RgbImage hay = textured_image(64, 48, 11);
  RgbImage pat(9, 7);
  for (std::size_t i = 0; i < pat.pixels.size(); i += 3) {
    pat.pixels[i] = 10;
    pat.pixels[i + 1] = 200;
    pat.pixels[i + 2] = 99;
  }
  const ScoreMap map = score_map(hay.view(), pat.view());
  ASSERT_EQ(map.width, 56u);
  ASSERT_EQ(map.height, 42u);
  for (float s : map.scores) ASSERT_EQ(std::bit_cast<std::uint32_t>(s), 0u);
  // Every cell of an all-zero map is a peak for a threshold <= 0 and none for a positive one.
  EXPECT_EQ(find_peaks(map, 9, 7, 0, 0, 0.0f, 1.0f).size(), map.scores.size());
  EXPECT_EQ(find_peaks(map, 9, 7, 0, 0, -0.5f, 1.0f).size(), map.scores.size());
  EXPECT_TRUE(find_peaks(map, 9, 7, 0, 0, 0.01f, 1.0f).empty());
}

TEST(ScoreMap, FlatWindowScoresExactlyZero) {
  RgbImage hay(50, 30);
  for (std::size_t i = 0; i < hay.pixels.size(); ++i) hay.pixels[i] = 77;
  // Texture only in the right half; windows in the left half are flat.
  const RgbImage texture = textured_image(25, 30, 3);
  for (std::uint32_t y = 0; y < 30; ++y)
    std::copy(texture.view().row(y), texture.view().row(y) + 75, hay.pixels.begin() + (y * 50 + 25) * 3);
  const RgbImage pat = textured_image(10, 10, 4);
  const ScoreMap map = score_map(hay.view(), pat.view());
  for (std::uint32_t y = 0; y < map.height; ++y)
    for (std::uint32_t x = 0; x + 10 <= 25; ++x) ASSERT_EQ(std::bit_cast<std::uint32_t>(map.at(x, y)), 0u) << x << "," << y;
  // The textured half is not all zeros.
  EXPECT_NE(map.at(30, 5), 0.0f);
}

TEST(ScoreMap, MapSizeIsPlacementCount) {
  const RgbImage hay = textured_image(31, 17, 8);
  const RgbImage pat = crop_copy(hay.view(), 0, 0, 31, 17);
  const ScoreMap one = score_map(hay.view(), pat.view());
  ASSERT_EQ(one.width, 1u);
  ASSERT_EQ(one.height, 1u);
  EXPECT_NEAR(one.at(0, 0), 1.0f, 1e-6f);
}

}  // namespace
}  // namespace vision_core
