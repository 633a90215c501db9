// Resampling against a per-pixel reference, and its fixed points.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "cpu_targets.h"
#include "match_reference.h"
#include "vision_core/match.h"

namespace vision_core {
namespace {

using reference::textured_image;

TEST(Resample, BothKernelsMatchReference) {
  struct Case {
    std::uint32_t src_w, src_h, dst_w, dst_h;
  };
  const Case cases[] = {
      {100, 80, 25, 20},  {2880 / 8, 1800 / 8, 90, 56}, {37, 23, 9, 5},   {40, 30, 41, 33}, {16, 16, 4, 4},
      {50, 45, 51, 45},   {50, 45, 45, 41},             {13, 7, 70, 3},   {5, 5, 1, 1},     {1, 1, 7, 9},
      {300, 2, 97, 2},    {3, 300, 3, 91},              {64, 64, 17, 81},
  };
  std::uint32_t seed = 100;
  for (const Case& c : cases) {
    const RgbImage src = textured_image(c.src_w, c.src_h, seed++);
    for (ResampleFilter filter : {ResampleFilter::triangle, ResampleFilter::lanczos3}) {
      const RgbImage got = resample(src.view(), c.dst_w, c.dst_h, filter);
      const RgbImage want = reference::resample(src.view(), c.dst_w, c.dst_h, filter);
      const std::string what = std::to_string(c.src_w) + "x" + std::to_string(c.src_h) + " -> " +
                               std::to_string(c.dst_w) + "x" + std::to_string(c.dst_h) +
                               (filter == ResampleFilter::triangle ? " triangle" : " lanczos3");
      ASSERT_EQ(got.width, c.dst_w) << what;
      ASSERT_EQ(got.height, c.dst_h) << what;
      EXPECT_EQ(got.pixels, want.pixels) << what;
    }
  }
}

TEST(Resample, EveryCpuTargetMatchesReference) {
  const RgbImage src = textured_image(200, 97, 55);  // 200 -> 50: an exact quarter
  const RgbImage down = reference::resample(src.view(), 50, 24, ResampleFilter::triangle);
  const RgbImage up = reference::resample(src.view(), 250, 131, ResampleFilter::lanczos3);
  const int tried = vision_core::testing::for_each_cpu_target([&](const char* target) {
    EXPECT_EQ(resample(src.view(), 50, 24, ResampleFilter::triangle).pixels, down.pixels) << target;
    EXPECT_EQ(resample(src.view(), 250, 131, ResampleFilter::lanczos3).pixels, up.pixels) << target;
  });
  EXPECT_GE(tried, 1);
}

TEST(Resample, SameSizeIsAnExactCopyOfAView) {
  const RgbImage big = textured_image(90, 60, 3);
  const RgbView window = big.view().crop(11, 5, 47, 31);
  const RgbImage packed = reference::crop_copy(big.view(), 11, 5, 47, 31);
  for (ResampleFilter filter : {ResampleFilter::triangle, ResampleFilter::lanczos3}) {
    const RgbImage copy = resample(window, 47, 31, filter);
    EXPECT_EQ(copy.pixels, packed.pixels);
  }
}

TEST(Resample, FlatImageStaysFlatAndStridedSourceIsHonoured) {
  RgbImage flat(64, 48);
  for (std::size_t i = 0; i < flat.pixels.size(); i += 3) {
    flat.pixels[i] = 0;
    flat.pixels[i + 1] = 255;
    flat.pixels[i + 2] = 93;
  }
  for (ResampleFilter filter : {ResampleFilter::triangle, ResampleFilter::lanczos3}) {
    for (auto [w, h] : {std::pair{16u, 12u}, std::pair{100u, 77u}, std::pair{63u, 48u}}) {
      const RgbImage out = resample(flat.view(), w, h, filter);
      for (std::size_t i = 0; i < out.pixels.size(); i += 3) {
        ASSERT_EQ(out.pixels[i], 0);
        ASSERT_EQ(out.pixels[i + 1], 255);
        ASSERT_EQ(out.pixels[i + 2], 93);
      }
    }
  }
  const RgbImage big = textured_image(200, 120, 8);
  const RgbView window = big.view().crop(3, 9, 150, 100);
  const RgbImage packed = reference::crop_copy(big.view(), 3, 9, 150, 100);
  EXPECT_EQ(resample(window, 37, 25, ResampleFilter::triangle).pixels,
            reference::resample(packed.view(), 37, 25, ResampleFilter::triangle).pixels);
}

TEST(Resample, TriangleQuarterAveragesBlocks) {
  // Reducing by four with the triangle kernel spans eight source pixels with
  // weights 1,3,5,7,7,5,3,1 (normalised), cut at the image edges; a two-level
  // image shows them.
  RgbImage src(8, 1);
  for (std::uint32_t x = 0; x < 8; ++x)
    for (int c = 0; c < 3; ++c) src.pixels[x * 3 + static_cast<std::uint32_t>(c)] = x < 4 ? 0 : 160;
  const RgbImage out = resample(src.view(), 2, 1, ResampleFilter::triangle);
  // Output 0 covers sources 0..5: weights 5,7,7,5,3,1 over 28 -> 160*4/28 = 22.86.
  EXPECT_EQ(out.pixels[0], 23);
  // Output 1 covers sources 2..7: 1,3,5,7,7,5 over 28 -> 160*24/28 = 137.14.
  EXPECT_EQ(out.pixels[3], 137);
}

}  // namespace
}  // namespace vision_core
