// The vector scanline filters against the plain definitions, on every CPU
// target this machine can run.

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cv/png/filters.h"

namespace pelagon2::cv::png {
namespace {

using Row = std::vector<std::uint8_t>;

// The filters as written in the format's definition, one byte at a time.
Row reference_unfilter(std::uint8_t type, const Row& src, const Row& prior, std::size_t bpp) {
  Row out(src.size());
  for (std::size_t i = 0; i < src.size(); ++i) {
    const int a = i >= bpp ? out[i - bpp] : 0;
    const int b = prior[i];
    const int c = i >= bpp ? prior[i - bpp] : 0;
    int predictor = 0;
    if (type == 1) predictor = a;
    if (type == 2) predictor = b;
    if (type == 3) predictor = (a + b) / 2;
    if (type == 4) {
      const int p = a + b - c;
      const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
      predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    }
    out[i] = static_cast<std::uint8_t>(src[i] + predictor);
  }
  return out;
}

Row reference_sub_filter(const Row& row, std::size_t bpp) {
  Row out{1};
  for (std::size_t i = 0; i < row.size(); ++i) {
    out.push_back(static_cast<std::uint8_t>(row[i] - (i >= bpp ? row[i - bpp] : 0)));
  }
  return out;
}

// Row widths in pixels around 16-, 32- and 64-byte vectors, their 15-byte
// steps for three-byte pixels, and a screen's width.
constexpr std::size_t kWidths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 15, 16, 17, 21, 22, 31, 32, 33, 63, 64, 65, 2880};

// Full-range bytes, and bytes of 0..3, where Paeth's distances often tie.
Row random_row(std::mt19937& rng, std::size_t size, bool small_range) {
  Row row(size);
  for (auto& byte : row) byte = static_cast<std::uint8_t>(small_range ? rng() % 4 : rng() % 256);
  return row;
}

// Runs `check` once per compiled target the CPU supports.
template <class Check>
void for_each_target(Check check) {
  const std::vector<std::int64_t> targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  for (const std::int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    SCOPED_TRACE(std::string("target ") + hwy::TargetName(target));
    check();
  }
  hwy::SetSupportedTargetsForTest(0);
}

TEST(PngFilters, UnfiltersMatchTheDefinitionForEveryTypePixelSizeAndWidth) {
  for_each_target([] {
    std::mt19937 rng(1234);
    for (const std::size_t bpp : {3u, 4u}) {
      for (const std::size_t width : kWidths) {
        for (const bool small_range : {false, true}) {
          const Row src = random_row(rng, width * bpp, small_range);
          const Row prior = random_row(rng, width * bpp, small_range);
          for (std::uint8_t type = 0; type <= 4; ++type) {
            SCOPED_TRACE("bpp " + std::to_string(bpp) + ", width " + std::to_string(width) + ", type " +
                         std::to_string(type) + (small_range ? ", small range" : ""));
            const Row expected = reference_unfilter(type, src, prior, bpp);
            // Separate rows, with a guard byte after the output that must stay.
            Row out(src.size() + 1, 0xA5);
            ASSERT_TRUE(unfilter_row(bpp, type, src.data(), prior.data(), out.data(), src.size()));
            EXPECT_EQ(Row(out.begin(), out.end() - 1), expected);
            EXPECT_EQ(out.back(), 0xA5);
            // In place, the output one byte before the input, as the decoder
            // unfilters a one-shot inflated image.
            Row buffer(src.size() + 1);
            std::copy(src.begin(), src.end(), buffer.begin() + 1);
            ASSERT_TRUE(unfilter_row(bpp, type, buffer.data() + 1, prior.data(), buffer.data(), src.size()));
            EXPECT_EQ(Row(buffer.begin(), buffer.end() - 1), expected);
          }
        }
      }
    }
  });
}

TEST(PngFilters, SubFilterMatchesTheDefinitionAndUnfiltersBack) {
  for_each_target([] {
    std::mt19937 rng(99);
    for (const std::size_t bpp : {3u, 4u}) {
      for (const std::size_t width : kWidths) {
        SCOPED_TRACE("bpp " + std::to_string(bpp) + ", width " + std::to_string(width));
        const Row row = random_row(rng, width * bpp, false);
        Row out(row.size() + 2, 0xA5);  // filter byte, samples, guard
        sub_filter_row(row.data(), row.size(), bpp, out.data());
        EXPECT_EQ(Row(out.begin(), out.end() - 1), reference_sub_filter(row, bpp));
        EXPECT_EQ(out.back(), 0xA5);
        const Row zeros(row.size(), 0);
        Row back(row.size());
        ASSERT_TRUE(unfilter_row(bpp, out[0], out.data() + 1, zeros.data(), back.data(), row.size()));
        EXPECT_EQ(back, row);
      }
    }
  });
}

TEST(PngFilters, UnknownFilterTypesAndPixelSizesAreRefused) {
  const Row src(12, 7);
  const Row prior(12, 0);
  Row out(12);
  for_each_target([&] {
    EXPECT_FALSE(unfilter_row(3, 5, src.data(), prior.data(), out.data(), 12));
    EXPECT_FALSE(unfilter_row(4, 255, src.data(), prior.data(), out.data(), 12));
    EXPECT_FALSE(unfilter_row(2, 1, src.data(), prior.data(), out.data(), 12));
  });
}

}  // namespace
}  // namespace pelagon2::cv::png
