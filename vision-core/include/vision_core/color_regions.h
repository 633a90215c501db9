#pragma once
// Areas of one colour: connected regions of pixels close to a colour, and the
// largest rectangle (outline or filled) drawn in a colour.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vision_core/image.h"

namespace vision_core {

struct Rgb8 {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  friend bool operator==(const Rgb8&, const Rgb8&) = default;
};

// A rectangle in image pixels, (x, y) its top-left corner.
struct ColorRegion {
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const ColorRegion&, const ColorRegion&) = default;
};

// Bounding boxes of the 4-connected areas whose pixels differ from `target` by
// at most `tolerance` in every channel, kept when at least min_width x
// min_height (0 acts as 1), in reading order (top edge, then left edge; ties
// keep discovery order).
std::vector<ColorRegion> color_regions(const RgbView& image, Rgb8 target, std::uint8_t tolerance,
                                       std::uint32_t min_width, std::uint32_t min_height);

// The same over a packed buffer of width * height * 3 bytes; a buffer of any
// other length finds nothing.
std::vector<ColorRegion> color_regions(std::span<const std::uint8_t> rgb, std::uint32_t width, std::uint32_t height,
                                       Rgb8 target, std::uint8_t tolerance, std::uint32_t min_width,
                                       std::uint32_t min_height);

// The largest rectangle whose four sides are pixels within 5 of `target` in
// every channel; among equal areas the one found last in row-major order of
// its top-left corner. Nothing when no pixel matches.
std::optional<ColorRegion> largest_color_rectangle(const RgbView& image, Rgb8 target);

std::optional<ColorRegion> largest_color_rectangle(std::span<const std::uint8_t> rgb, std::uint32_t width,
                                                   std::uint32_t height, Rgb8 target);

}  // namespace vision_core
