// The macOS backend's portable rules: native capture size, accepted pixel
// layouts, and how captured bytes are kept between captures.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "platform/macos/macos_model.h"

namespace pelagon2::platform::macos {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct SizeCase {
  const char* name;
  DisplayMode mode;
  std::optional<CaptureSize> expected;
};

TEST(MacosModel, CapturePixelSize) {
  const SizeCase cases[] = {
      {"mode pixels", {1440, 900, 2880, 1800}, CaptureSize{2880, 1800}},
      {"mode pixels win over odd points", {1710, 1107, 3420, 2214}, CaptureSize{3420, 2214}},
      {"mode width only scales the height", {1710, 1107, 2560, 0}, CaptureSize{2560, 1657}},
      {"mode width only, exact factor", {1440, 900, 2880, 0}, CaptureSize{2880, 1800}},
      {"no mode: points rounded", {1920.4, 1080.5, 0, 0}, CaptureSize{1920, 1081}},
      {"mode pixels need no points", {0, kNaN, 2880, 1800}, CaptureSize{2880, 1800}},
      {"no mode, zero width", {0, 900, 0, 0}, std::nullopt},
      {"mode width, zero points", {0, 900, 2880, 0}, std::nullopt},
      {"NaN height", {1440, kNaN, 2880, 0}, std::nullopt},
      {"infinite width", {kInf, 900, 2880, 0}, std::nullopt},
      {"negative size", {-1440, -900, 0, 0}, std::nullopt},
      {"under half a point", {0.4, 900, 0, 0}, std::nullopt},
      {"largest side", {1, 1, kMaxCaptureSide, 1}, CaptureSize{kMaxCaptureSide, 1}},
      {"absurd mode width", {1, 1, kMaxCaptureSide + 1, 1}, std::nullopt},
      {"absurd scaled height", {1, 100000, 2, 0}, std::nullopt},
  };
  for (const SizeCase& c : cases) {
    const std::optional<CaptureSize> size = capture_pixel_size(c.mode);
    ASSERT_EQ(size.has_value(), c.expected.has_value()) << c.name;
    if (size) {
      EXPECT_EQ(*size, *c.expected) << c.name << ": " << size->width << "x" << size->height;
    }
  }
}

struct LayoutCase {
  const char* name;
  std::size_t bits_per_pixel;
  std::uint32_t bitmap_info;
  std::optional<PixelOrder> expected;
};

TEST(MacosModel, PixelOrderOfBitmapLayouts) {
  const LayoutCase cases[] = {
      {"premultiplied first, 32 little", 32, kByteOrder32Little | kAlphaPremultipliedFirst, PixelOrder::bgra},
      {"alpha first, 32 little", 32, kByteOrder32Little | kAlphaFirst, PixelOrder::bgra},
      {"skip first, 32 little", 32, kByteOrder32Little | kAlphaNoneSkipFirst, PixelOrder::bgrx},
      {"alpha last is ABGR in memory", 32, kByteOrder32Little | 1, std::nullopt},
      {"skip last", 32, kByteOrder32Little | 5, std::nullopt},
      {"default byte order is ARGB in memory", 32, kAlphaPremultipliedFirst, std::nullopt},
      {"32 big", 32, (4u << 12) | kAlphaPremultipliedFirst, std::nullopt},
      {"16 little", 32, (1u << 12) | kAlphaPremultipliedFirst, std::nullopt},
      {"float components", 32, kByteOrder32Little | kAlphaPremultipliedFirst | kFloatComponents, std::nullopt},
      {"packed 10-bit", 32, kByteOrder32Little | kAlphaNoneSkipFirst | (3u << 16), std::nullopt},
      {"64 bits per pixel", 64, kByteOrder32Little | kAlphaPremultipliedFirst, std::nullopt},
      {"24 bits per pixel", 24, kByteOrder32Little, std::nullopt},
  };
  for (const LayoutCase& c : cases) EXPECT_EQ(pixel_order_of(c.bits_per_pixel, c.bitmap_info), c.expected) << c.name;
}

TEST(MacosModel, KeepCaptureCopiesBytesAndGeometry) {
  std::vector<std::uint8_t> source = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  std::vector<std::uint8_t> buffer;
  const Expected<RawCapture> kept = keep_capture(buffer, source, {1, 2, 6, PixelOrder::bgrx});
  ASSERT_TRUE(kept.ok()) << kept.error();
  EXPECT_EQ(kept->width, 1u);
  EXPECT_EQ(kept->height, 2u);
  EXPECT_EQ(kept->bytes_per_row, 6u);
  EXPECT_EQ(kept->order, PixelOrder::bgrx);
  // The system's copy is released right after; the capture must not point into it.
  source.assign(source.size(), 0);
  EXPECT_EQ(std::vector<std::uint8_t>(kept->bytes.begin(), kept->bytes.end()),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST(MacosModel, KeepCaptureReusesItsBuffer) {
  std::vector<std::uint8_t> buffer;
  const std::vector<std::uint8_t> large(4096, 7);
  const std::vector<std::uint8_t> small(16, 9);
  const Expected<RawCapture> first = keep_capture(buffer, large, {32, 32, 128, PixelOrder::bgra});
  ASSERT_TRUE(first.ok());
  const std::uint8_t* first_data = first->bytes.data();
  const Expected<RawCapture> second = keep_capture(buffer, small, {2, 2, 8, PixelOrder::bgra});
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second->bytes.data(), first_data);
  EXPECT_EQ(second->bytes.size(), 16u);
  EXPECT_EQ(second->bytes[15], 9);
}

TEST(MacosModel, KeepCaptureWithoutDataOrWithAbsurdGeometry) {
  std::vector<std::uint8_t> buffer = {1, 2, 3, 4};
  const Expected<RawCapture> empty = keep_capture(buffer, {}, {10, 10, 40, PixelOrder::bgra});
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->bytes.empty());
  EXPECT_EQ(empty->width, 10u);

  const std::size_t too_wide = std::size_t{std::numeric_limits<std::uint32_t>::max()} + 1;
  const std::vector<std::uint8_t> bytes(8, 0);
  for (const ImageLayout& layout : {ImageLayout{too_wide, 1, 8, PixelOrder::bgra},
                                    ImageLayout{1, too_wide, 8, PixelOrder::bgra}}) {
    const Expected<RawCapture> refused = keep_capture(buffer, bytes, layout);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), kNoImageError);
  }
}

TEST(MacosModel, SystemCodes) {
  EXPECT_EQ(kPixelFormatBgra, 0x42475241u);  // 'BGRA'
  EXPECT_EQ(kBrowserWindowListOptions, 17u);
  EXPECT_EQ(kBrowserBundleIds.front(), "com.google.Chrome");
  EXPECT_EQ(kBrowserBundleIds.back(), "org.chromium.Chromium");
}

}  // namespace
}  // namespace pelagon2::platform::macos
