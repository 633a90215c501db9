#include "input/color_search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "vision_core/rounding.h"

namespace pelagon2::input {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Two hexadecimal digits, or '+' and one digit (an explicit sign is a valid
// spelling of a one-digit number).
int hex_pair(char first, char second) {
  const int low = hex_digit(second);
  if (low < 0) return -1;
  if (first == '+') return low;
  const int high = hex_digit(first);
  return high < 0 ? -1 : high * 16 + low;
}

// Only non-negative integers count (not 3.0); any other value gives `fallback`.
std::uint64_t unsigned_or(const Json& params, const char* key, std::uint64_t fallback) {
  const Json* value = find_member(params, key);
  if (value == nullptr || !value->is_number_integer()) return fallback;
  if (value->is_number_unsigned()) return value->get<std::uint64_t>();
  const std::int64_t signed_value = value->get<std::int64_t>();
  return signed_value < 0 ? fallback : static_cast<std::uint64_t>(signed_value);
}

std::optional<ScreenArea> read_search_area(const Json& params) {
  const Json* area = find_member(params, "searchArea");
  if (area == nullptr) return std::nullopt;
  double values[4];
  const char* keys[4] = {"x", "y", "width", "height"};
  for (int i = 0; i < 4; ++i) {
    const Json* value = find_member(*area, keys[i]);
    if (value == nullptr || !value->is_number()) return std::nullopt;
    values[i] = value->get<double>();
  }
  return ScreenArea{values[0], values[1], values[2], values[3]};
}

// round(value) clamped to 0 … limit.
std::uint32_t clamped_edge(double value, std::uint32_t limit) {
  const double rounded = std::round(value);
  if (!(rounded > 0)) return 0;  // also NaN
  if (rounded >= limit) return limit;
  return static_cast<std::uint32_t>(rounded);
}

Json rectangle_json(std::int64_t x, std::int64_t y, std::uint32_t width, std::uint32_t height) {
  return Json{{"height", height}, {"width", width}, {"x", x}, {"y", y}};
}

}  // namespace

Expected<vision_core::Rgb8> parse_rrggbb(std::string_view text) {
  if (!text.empty() && text.front() == '#') text.remove_prefix(1);
  int channels[3] = {-1, -1, -1};
  if (text.size() == 6) {
    for (int i = 0; i < 3; ++i) channels[i] = hex_pair(text[2 * i], text[2 * i + 1]);
  }
  if (channels[0] < 0 || channels[1] < 0 || channels[2] < 0) {
    return make_error("bad_params: color '" + std::string(text) + "' is not rrggbb");
  }
  return vision_core::Rgb8{static_cast<std::uint8_t>(channels[0]), static_cast<std::uint8_t>(channels[1]),
                           static_cast<std::uint8_t>(channels[2])};
}

Expected<vision_core::Rgb8> read_color(const Json& params) {
  const std::string* color = string_member(params, "color");
  if (color == nullptr) return make_error("bad_params: missing 'color'");
  return parse_rrggbb(*color);
}

Expected<ColorRegionParams> read_color_region_params(const Json& params) {
  Expected<vision_core::Rgb8> color = read_color(params);
  if (!color) return std::move(color).take_error();
  ColorRegionParams out;
  out.color = *color;
  out.tolerance = static_cast<std::uint8_t>(std::min<std::uint64_t>(unsigned_or(params, "tolerance", 0), 255));
  constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
  // A minimum beyond any screen finds nothing rather than wrapping to a small one.
  out.min_width = static_cast<std::uint32_t>(std::min(unsigned_or(params, "minWidth", 3), kMaxU32));
  out.min_height = static_cast<std::uint32_t>(std::min(unsigned_or(params, "minHeight", 3), kMaxU32));
  out.search_area = read_search_area(params);
  return out;
}

screen::PixelWindow capture_window(const ScreenArea& area, const screen::RgbCapture& capture) {
  const std::uint32_t width = capture.image.width;
  const std::uint32_t height = capture.image.height;
  screen::PixelWindow window;
  window.left = clamped_edge(area.x - capture.origin_x, width);
  window.right = clamped_edge(area.x + area.width - capture.origin_x, width);
  window.top = clamped_edge(area.y - capture.origin_y, height);
  window.bottom = clamped_edge(area.y + area.height - capture.origin_y, height);
  return window;
}

Json color_regions_reply(const screen::RgbCapture& capture, const ColorRegionParams& params) {
  const vision_core::RgbImage& image = capture.image;
  screen::PixelWindow window{0, 0, image.width, image.height};
  if (params.search_area) window = capture_window(*params.search_area, capture);
  Json regions = Json::array();
  if (!window.empty()) {
    const vision_core::RgbView view =
        image.view().crop(window.left, window.top, window.right - window.left, window.bottom - window.top);
    const std::int64_t offset_x = std::int64_t{window.left} + vision_core::round_to<std::int64_t>(capture.origin_x);
    const std::int64_t offset_y = std::int64_t{window.top} + vision_core::round_to<std::int64_t>(capture.origin_y);
    for (const vision_core::ColorRegion& r :
         vision_core::color_regions(view, params.color, params.tolerance, params.min_width, params.min_height)) {
      regions.push_back(rectangle_json(offset_x + r.x, offset_y + r.y, r.width, r.height));
    }
  }
  return Json{{"regions", std::move(regions)}};
}

Json color_rectangle_reply(const screen::RgbCapture& capture, vision_core::Rgb8 color) {
  const std::optional<vision_core::ColorRegion> found =
      vision_core::largest_color_rectangle(capture.image.view(), color);
  if (!found) return rectangle_json(0, 0, 0, 0);
  return rectangle_json(vision_core::round_to<std::int64_t>(capture.origin_x) + found->x,
                        vision_core::round_to<std::int64_t>(capture.origin_y) + found->y, found->width,
                        found->height);
}

// The two colour methods end to end: parameters, then the capture, then the
// reply built from it.
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
