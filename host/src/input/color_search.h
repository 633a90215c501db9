#pragma once
// find_color_regions and find_rectangle: their parameters, and their replies
// computed from a capture of the screen.

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/json.h"
#include "core/outcome.h"
#include "screen/capture.h"
#include "screen/pixel_window.h"
#include "platform/platform.h"
#include "vision_core/color_regions.h"

namespace pelagon2::input {

// "rrggbb" or "#rrggbb", either case; a pair may also be '+' and one digit.
Expected<vision_core::Rgb8> parse_rrggbb(std::string_view text);

// The `color` member of `params`, parsed.
Expected<vision_core::Rgb8> read_color(const Json& params);

// A rectangle of the screen in screen pixels.
struct ScreenArea {
  double x = 0, y = 0, width = 0, height = 0;
};

struct ColorRegionParams {
  vision_core::Rgb8 color;
  std::uint8_t tolerance = 0;
  std::uint32_t min_width = 3;
  std::uint32_t min_height = 3;
  std::optional<ScreenArea> search_area;
};

Expected<ColorRegionParams> read_color_region_params(const Json& params);

// The capture pixels of a screen area, clamped to the capture.
screen::PixelWindow capture_window(const ScreenArea& area, const screen::RgbCapture& capture);

// The replies, from a capture already taken.
Json color_regions_reply(const screen::RgbCapture& capture, const ColorRegionParams& params);
Json color_rectangle_reply(const screen::RgbCapture& capture, vision_core::Rgb8 color);

// The methods: parameters first, then the capture of the target display.
Outcome find_color_regions(const Json& params, platform::Platform& platform);
Outcome find_rectangle(const Json& params, platform::Platform& platform);

}  // namespace pelagon2::input
