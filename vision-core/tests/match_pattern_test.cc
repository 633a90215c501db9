// Peak picking and the per-scale search: direct versus coarse-to-fine,
// rescaling, refinement windows and the candidate cap.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "match_reference.h"
#include "vision_core/match.h"

namespace vision_core {
namespace {

using reference::crop_copy;
using reference::textured_image;

auto as_tuple(const MatchRecord& m) { return std::make_tuple(m.x, m.y, m.width, m.height, m.score, m.scale); }

void expect_same_matches(const std::vector<MatchRecord>& got, const std::vector<MatchRecord>& want,
                         const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(as_tuple(got[i]), as_tuple(want[i])) << what << " #" << i;
}

ScoreMap map_of(std::uint32_t w, std::uint32_t h, std::vector<float> scores) {
  ScoreMap m;
  m.width = w;
  m.height = h;
  m.scores = std::move(scores);
  return m;
}

TEST(FindPeaks, NeighbourhoodAndThreshold) {
  // clang-format off
  const ScoreMap map = map_of(5, 4, {
      0.9f, 0.2f, 0.5f, 0.5f, 0.1f,
      0.65f, 0.1f, 0.3f, 0.4f, 0.45f,
      0.1f, 0.7f, 0.1f, 0.2f, 0.3f,
      0.2f, 0.1f, 0.3f, 0.7f, 0.7f});
  // clang-format on
  const auto peaks = find_peaks(map, 11, 12, 100, -3, 0.5f, 0.75f);
  // (0,0) corner peak; (2,0),(3,0) plateau of equals; (1,2) exceeds every neighbour;
  // (3,3),(4,3) equal plateau; (0,1) has a greater neighbour above; (4,1) is under the threshold.
  const std::vector<std::pair<int, int>> want = {{0, 0}, {2, 0}, {3, 0}, {1, 2}, {3, 3}, {4, 3}};
  ASSERT_EQ(peaks.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(peaks[i].x, want[i].first + 100) << i;
    EXPECT_EQ(peaks[i].y, want[i].second - 3) << i;
    EXPECT_EQ(peaks[i].width, 11u);
    EXPECT_EQ(peaks[i].height, 12u);
    EXPECT_EQ(peaks[i].scale, 0.75f);
    EXPECT_EQ(peaks[i].score, map.at(static_cast<std::uint32_t>(want[i].first), static_cast<std::uint32_t>(want[i].second)));
  }
}

TEST(FindPeaks, ThresholdIsInclusiveAndDiagonalsCount) {
  const ScoreMap map = map_of(3, 3, {0.1f, 0.1f, 0.1f, 0.1f, 0.5f, 0.1f, 0.1f, 0.1f, 0.6f});
  // The centre loses to its diagonal neighbour.
  auto peaks = find_peaks(map, 1, 1, 0, 0, 0.5f, 1.0f);
  ASSERT_EQ(peaks.size(), 1u);
  EXPECT_EQ(peaks[0].x, 2);
  EXPECT_EQ(peaks[0].y, 2);
  EXPECT_TRUE(find_peaks(map, 1, 1, 0, 0, 0.61f, 1.0f).empty());
  EXPECT_EQ(find_peaks(map, 1, 1, 0, 0, 0.6f, 1.0f).size(), 1u);
  // A single-row and a single-cell map.
  EXPECT_EQ(find_peaks(map_of(4, 1, {0.3f, 0.3f, 0.2f, 0.4f}), 1, 1, 0, 0, 0.0f, 1.0f).size(), 3u);
  EXPECT_EQ(find_peaks(map_of(1, 1, {-0.2f}), 1, 1, 0, 0, -0.2f, 1.0f).size(), 1u);
}

TEST(MatchPattern, DirectOrCoarseToFineBySize) {
  // With threshold -1 a direct search reports every local maximum of the full
  // map; coarse-to-fine only those inside refinement windows.
  struct Case {
    std::uint32_t hay_w, hay_h, pat_w, pat_h;
    bool direct;
  };
  const Case cases[] = {
      {2000, 40, 15, 40, true},  // a side under 16 stays direct on any haystack
      {2000, 40, 40, 15, true},
      {799, 799, 16, 16, true},  // both haystack sides under 800
      {800, 600, 16, 16, false},
      {600, 800, 16, 16, false},
  };
  std::uint32_t seed = 40;
  for (const Case& c : cases) {
    const RgbImage hay = textured_image(c.hay_w, c.hay_h, seed++);
    const RgbImage pat = crop_copy(hay.view(), c.hay_w / 3, c.hay_h - c.pat_h, c.pat_w, c.pat_h);
    const auto got = match_pattern(hay.view(), pat.view(), 1.0f, -1.0f);
    const auto all = find_peaks(score_map(hay.view(), pat.view()), c.pat_w, c.pat_h, 0, 0, -1.0f, 1.0f);
    const std::string what = std::to_string(c.pat_w) + "x" + std::to_string(c.pat_h) + " in " +
                             std::to_string(c.hay_w) + "x" + std::to_string(c.hay_h);
    if (c.direct) {
      expect_same_matches(got, all, what);
    } else {
      EXPECT_LT(got.size(), all.size()) << what;
      expect_same_matches(got, reference::match_pattern(hay.view(), pat.view(), 1.0f, -1.0f), what);
    }
  }
}

TEST(MatchPattern, AgreesWithReferenceAcrossScalesAndThresholds) {
  const RgbImage hay = textured_image(840, 230, 77);
  const RgbImage pat = crop_copy(hay.view(), 301, 95, 45, 35);
  for (float scale : {1.0f, 1.0005f, 0.9991f, 1.01f, 0.9f, 1.2f, 0.5f}) {
    for (float threshold : {0.2f, 0.5f, 0.8f, 0.95f}) {
      const std::string what = "scale " + std::to_string(scale) + " threshold " + std::to_string(threshold);
      expect_same_matches(match_pattern(hay.view(), pat.view(), scale, threshold),
                          reference::match_pattern(hay.view(), pat.view(), scale, threshold), what);
    }
  }
}

TEST(MatchPattern, ScaleChoosesPatternAndFilter) {
  const RgbImage hay = textured_image(300, 200, 12);
  const RgbImage pat = crop_copy(hay.view(), 120, 60, 50, 45);
  // 1.0005 keeps the pattern: same placements as scale 1, tagged 1.0005.
  const auto at1 = match_pattern(hay.view(), pat.view(), 1.0f, 0.5f);
  auto near1 = match_pattern(hay.view(), pat.view(), 1.0005f, 0.5f);
  ASSERT_FALSE(at1.empty());
  ASSERT_EQ(near1.size(), at1.size());
  for (std::size_t i = 0; i < at1.size(); ++i) {
    EXPECT_EQ(near1[i].scale, 1.0005f);
    near1[i].scale = 1.0f;
    EXPECT_EQ(as_tuple(near1[i]), as_tuple(at1[i]));
  }
  // 1.01: 50.5 x 45.45 rounds to 51 x 45, enlarged with Lanczos-3.
  const RgbImage up = reference::resample(pat.view(), 51, 45, ResampleFilter::lanczos3);
  expect_same_matches(match_pattern(hay.view(), pat.view(), 1.01f, 0.3f),
                      find_peaks(score_map(hay.view(), up.view()), 51, 45, 0, 0, 0.3f, 1.01f), "1.01");
  // 0.9: 45 x 40.5 rounds to 45 x 41, reduced with the triangle filter.
  const RgbImage down = reference::resample(pat.view(), 45, 41, ResampleFilter::triangle);
  expect_same_matches(match_pattern(hay.view(), pat.view(), 0.9f, 0.3f),
                      find_peaks(score_map(hay.view(), down.view()), 45, 41, 0, 0, 0.3f, 0.9f), "0.9");
}

TEST(MatchPattern, ImpossibleSearchesAreEmpty) {
  const RgbImage hay = textured_image(60, 40, 2);
  const RgbImage pat = textured_image(61, 10, 3);
  EXPECT_TRUE(match_pattern(hay.view(), pat.view(), 1.0f, -1.0f).empty());
  const RgbImage small = crop_copy(hay.view(), 0, 0, 40, 30);
  EXPECT_TRUE(match_pattern(hay.view(), small.view(), 1.6f, -1.0f).empty());  // 64 x 48 after scaling
  // Absurd scales are refused before anything is resampled.
  EXPECT_TRUE(match_pattern(hay.view(), small.view(), 1e30f, -1.0f).empty());
  EXPECT_TRUE(match_pattern(hay.view(), small.view(), std::numeric_limits<float>::infinity(), -1.0f).empty());
  EXPECT_TRUE(match_pattern(hay.view(), RgbView{}, 1.0f, -1.0f).empty());
}

TEST(MatchPattern, NonPositiveScaleShrinksPatternToOnePixel) {
  // A negative or zero size saturates to 0 and is raised to 1: a single pixel,
  // which is flat, so every placement scores 0 and carries the given scale.
  const RgbImage hay = textured_image(30, 20, 4);
  const RgbImage pat = crop_copy(hay.view(), 3, 2, 12, 9);
  for (float scale : {-2.0f, 0.0f, 0.01f}) {
    const auto all = match_pattern(hay.view(), pat.view(), scale, 0.0f);
    ASSERT_EQ(all.size(), 30u * 20u) << scale;
    for (const MatchRecord& m : all) {
      EXPECT_EQ(m.width, 1u);
      EXPECT_EQ(m.height, 1u);
      EXPECT_EQ(m.score, 0.0f);
      EXPECT_EQ(m.scale, scale);
    }
    EXPECT_TRUE(match_pattern(hay.view(), pat.view(), scale, 0.01f).empty()) << scale;
  }
}

TEST(MatchPattern, FlatPatternMatchesOnlyWithNonPositiveThreshold) {
  const RgbImage hay = textured_image(90, 50, 9);
  RgbImage flat(20, 10);
  for (auto& v : flat.pixels) v = 42;
  const auto all = match_pattern(hay.view(), flat.view(), 1.0f, 0.0f);
  ASSERT_EQ(all.size(), 71u * 41u);  // every placement, row-major
  EXPECT_EQ(all[1].x, 1);
  EXPECT_EQ(all[71].y, 1);
  EXPECT_EQ(all.back().score, 0.0f);
  EXPECT_TRUE(match_pattern(hay.view(), flat.view(), 1.0f, 0.001f).empty());
}

TEST(MatchPattern, PatternAsLargeAsHaystack) {
  // Below 800: one placement at (0, 0).
  const RgbImage small = textured_image(120, 90, 21);
  const auto one = match_pattern(small.view(), small.view(), 1.0f, 0.9f);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].x, 0);
  EXPECT_EQ(one[0].y, 0);
  EXPECT_NEAR(one[0].score, 1.0f, 1e-6f);
  // From 800 on the only refinement window equals the pattern and is skipped...
  const RgbImage big = textured_image(801, 97, 22);
  const RgbImage same = crop_copy(big.view(), 0, 0, 800, 96);
  EXPECT_TRUE(match_pattern(same.view(), same.view(), 1.0f, 0.5f).empty());
  // ...while one more pixel each way is refined normally.
  const auto found = match_pattern(big.view(), same.view(), 1.0f, 0.9f);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].x, 0);
  EXPECT_EQ(found[0].y, 0);
  EXPECT_NEAR(found[0].score, 1.0f, 1e-6f);
}

TEST(MatchPattern, FindsCopyOnLargeHaystack) {
  // Interface-like content, larger than pixel noise, survives the reduction.
  const RgbImage hay = resample(textured_image(320, 180, 31).view(), 1280, 720, ResampleFilter::triangle);
  const RgbImage pat = crop_copy(hay.view(), 613, 402, 64, 48);
  const auto found = match_pattern(hay.view(), pat.view(), 1.0f, 0.99f);
  ASSERT_FALSE(found.empty());
  bool exact = false;
  for (const auto& m : found) exact = exact || (m.x == 613 && m.y == 402 && m.score >= 0.999999f);
  EXPECT_TRUE(exact);
}

TEST(MatchPattern, RefinesAtMost48CandidatesInVisitingOrder) {
  // 60 identical copies on a flat background, all aligned to the quarter grid,
  // so every coarse peak ties; the 48 first in row-major order are refined.
  RgbImage hay(960, 600);
  for (auto& v : hay.pixels) v = 128;
  const RgbImage pat = textured_image(16, 16, 5);
  std::vector<std::pair<int, int>> spots;
  for (int row = 0; row < 6; ++row)
    for (int col = 0; col < 10; ++col) {
      const int x = 40 + col * 88, y = 40 + row * 88;
      spots.emplace_back(x, y);
      for (std::uint32_t r = 0; r < 16; ++r)
        std::copy(pat.view().row(r), pat.view().row(r) + 48,
                  hay.pixels.begin() + ((static_cast<std::size_t>(y) + r) * 960 + static_cast<std::size_t>(x)) * 3);
    }
  const auto found = match_pattern(hay.view(), pat.view(), 1.0f, 0.99f);
  ASSERT_EQ(found.size(), 48u);
  for (std::size_t i = 0; i < 48; ++i) {
    EXPECT_EQ(found[i].x, spots[i].first) << i;
    EXPECT_EQ(found[i].y, spots[i].second) << i;
  }
}

TEST(MatchPattern, CoarseThresholdHasAFloor) {
  // The copy's coarse score decides whether it is refined at all: a threshold t
  // admits coarse peaks from max(t - 0.15, 0.3).
  const RgbImage hay = textured_image(1000, 300, 61);
  const RgbImage pat = crop_copy(hay.view(), 402, 101, 40, 40);  // off the quarter grid
  const RgbImage coarse_hay = reference::resample(hay.view(), 250, 75, ResampleFilter::triangle);
  const RgbImage coarse_pat = reference::resample(pat.view(), 10, 10, ResampleFilter::triangle);
  const ScoreMap coarse = reference::score_map(coarse_hay.view(), coarse_pat.view());
  float best = -1.0f;
  for (float s : coarse.scores) best = std::max(best, s);
  ASSERT_GT(best, 0.3f);
  // Just above and just below the best coarse score (shifted by 0.15).
  const float above = best + 0.15f + 0.002f;
  const float below = best + 0.15f - 0.002f;
  if (above <= 1.0f) {
    EXPECT_TRUE(match_pattern(hay.view(), pat.view(), 1.0f, above).empty());
  }
  EXPECT_FALSE(match_pattern(hay.view(), pat.view(), 1.0f, std::min(below, 1.0f)).empty());
  // A low threshold still refines only coarse peaks of at least 0.3.
  expect_same_matches(match_pattern(hay.view(), pat.view(), 1.0f, 0.2f),
                      reference::match_pattern(hay.view(), pat.view(), 1.0f, 0.2f), "0.2");
}

TEST(MatchPattern, CoarseThresholdIsSinglePrecision) {
  // Thresholds a few steps around (best coarse score + 0.15): t - 0.15 taken
  // in single precision can admit a coarse peak that the same subtraction in
  // double precision would reject. Such a t decides whether the copy is found.
  int deciding = 0;
  for (std::uint32_t seed = 61; seed < 81; ++seed) {
    const RgbImage hay = textured_image(1000, 300, seed);
    const RgbImage pat = crop_copy(hay.view(), 402, 101, 40, 40);
    const RgbImage coarse_hay = reference::resample(hay.view(), 250, 75, ResampleFilter::triangle);
    const RgbImage coarse_pat = reference::resample(pat.view(), 10, 10, ResampleFilter::triangle);
    const ScoreMap coarse = reference::score_map(coarse_hay.view(), coarse_pat.view());
    float best = -1.0f;
    for (float s : coarse.scores) best = std::max(best, s);
    float t = best + 0.15f;
    for (int i = 0; i < 40; ++i) t = std::nextafter(t, 0.0f);
    for (int i = 0; i < 80; ++i, t = std::nextafter(t, 2.0f)) {
      const bool single = std::max(t - 0.15f, 0.3f) <= best;
      const bool wide = std::max(static_cast<double>(t) - 0.15, 0.3) <= static_cast<double>(best);
      if (single == wide || t > 1.0f) continue;
      ++deciding;
      const auto found = match_pattern(hay.view(), pat.view(), 1.0f, t);
      EXPECT_EQ(found.empty(), !single) << "seed " << seed << " threshold " << t;
      expect_same_matches(found, reference::match_pattern(hay.view(), pat.view(), 1.0f, t), "seed " + std::to_string(seed));
    }
  }
  ASSERT_GT(deciding, 0) << "no threshold separates single from double precision";
}

}  // namespace
}  // namespace vision_core
