// The two colour methods end to end: parameters, then the capture, then the
// reply built from it.
#include "input/color_search.h"

namespace pelagon2::input {

Outcome find_color_regions(const Json& params, platform::Platform& platform) {
  Expected<ColorRegionParams> parsed = read_color_region_params(params);
  if (!parsed) return std::move(parsed).take_error();
  Expected<screen::RgbCapture> capture = screen::capture_display_rgb(platform);
  if (!capture) return std::move(capture).take_error();
  return color_regions_reply(*capture, *parsed);
}

Outcome find_rectangle(const Json& params, platform::Platform& platform) {
  Expected<vision_core::Rgb8> color = read_color(params);
  if (!color) return std::move(color).take_error();
  Expected<screen::RgbCapture> capture = screen::capture_display_rgb(platform);
  if (!capture) return std::move(capture).take_error();
  return color_rectangle_reply(*capture, *color);
}

}  // namespace pelagon2::input
