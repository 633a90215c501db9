#include "platform/macos/macos_model.h"

#include <cmath>
#include <limits>
#include <new>
#include <string>

namespace pelagon2::platform::macos {
namespace {

bool usable_side(double points) { return std::isfinite(points) && points >= 0.5; }

std::optional<CaptureSize> checked(double width, double height) {
  const auto side_ok = [](double side) { return side >= 1 && side <= static_cast<double>(kMaxCaptureSide); };
  if (!side_ok(width) || !side_ok(height)) return std::nullopt;
  return CaptureSize{static_cast<std::size_t>(width), static_cast<std::size_t>(height)};
}

}  // namespace

std::optional<CaptureSize> capture_pixel_size(const DisplayMode& mode) {
  if (mode.pixel_width > 0 && mode.pixel_height > 0) {
    return checked(static_cast<double>(mode.pixel_width), static_cast<double>(mode.pixel_height));
  }
  if (!usable_side(mode.width_points) || !usable_side(mode.height_points)) return std::nullopt;
  if (mode.pixel_width > 0) {
    // Without the mode's height, the height follows the width's factor.
    const double factor = static_cast<double>(mode.pixel_width) / mode.width_points;
    return checked(static_cast<double>(mode.pixel_width), std::round(mode.height_points * factor));
  }
  return checked(std::round(mode.width_points), std::round(mode.height_points));
}

std::optional<PixelOrder> pixel_order_of(std::size_t bits_per_pixel, std::uint32_t bitmap_info) {
  // Little-endian 32-bit words with alpha (or padding) in the top byte are
  // stored blue, green, red, alpha; any other layout would be misread.
  if (bits_per_pixel != 32 || (bitmap_info & kByteOrderMask) != kByteOrder32Little ||
      (bitmap_info & (kFloatComponents | kPixelFormatMask)) != 0) {
    return std::nullopt;
  }
  switch (bitmap_info & kAlphaInfoMask) {
    case kAlphaPremultipliedFirst:
    case kAlphaFirst:
      return PixelOrder::bgra;
    case kAlphaNoneSkipFirst:
      return PixelOrder::bgrx;
    default:
      return std::nullopt;
  }
}

Expected<RawCapture> keep_capture(std::vector<std::uint8_t>& buffer, std::span<const std::uint8_t> bytes,
                                  const ImageLayout& layout) {
  constexpr std::size_t kMax32 = std::numeric_limits<std::uint32_t>::max();
  if (layout.width > kMax32 || layout.height > kMax32) return make_error(std::string(kNoImageError));
  RawCapture capture;
  capture.width = static_cast<std::uint32_t>(layout.width);
  capture.height = static_cast<std::uint32_t>(layout.height);
  capture.bytes_per_row = layout.bytes_per_row;
  capture.order = layout.order;
  if (bytes.empty()) return capture;
  try {
    buffer.assign(bytes.begin(), bytes.end());
  } catch (const std::bad_alloc&) {
    return make_error(std::string(kNoImageError));
  }
  capture.bytes = buffer;
  return capture;
}

}  // namespace pelagon2::platform::macos
