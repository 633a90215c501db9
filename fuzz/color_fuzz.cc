// color_fuzz: the colour text parser and both colour finders on small images.
//
// Input layout: a selector byte; for the parser, the rest is the colour text.
// For the finders: width, height (kept small), target colour selector,
// tolerance, minimum width and height, then one byte per pixel choosing from a
// small palette around the target (so matches, near misses and misses all
// occur), repeated as needed.
// Invariants: no crash; parsed colours print back to themselves; every region
// lies inside the image, meets the minimum size, has a matching pixel on its
// top and left edges, and the list is in reading order; a rectangle exists
// only when a pixel matches, lies inside the image and starts on a match.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "input/color_search.h"
#include "vision_core/color_regions.h"

namespace {

using vision_core::ColorRegion;
using vision_core::Rgb8;

void check(bool condition) {
  if (!condition) std::abort();
}

bool within(const std::uint8_t* p, Rgb8 t, int tolerance) {
  return std::abs(p[0] - t.r) <= tolerance && std::abs(p[1] - t.g) <= tolerance && std::abs(p[2] - t.b) <= tolerance;
}

void fuzz_parser(std::string_view text) {
  const auto parsed = pelagon2::input::parse_rrggbb(text);
  if (!parsed.ok()) {
    check(parsed.error().rfind("bad_params: color '", 0) == 0);
    check(parsed.error().ends_with("' is not rrggbb"));
    return;
  }
  char printed[8];
  std::snprintf(printed, sizeof printed, "%02x%02x%02x", parsed->r, parsed->g, parsed->b);
  const auto again = pelagon2::input::parse_rrggbb(printed);
  check(again.ok() && *again == *parsed);
}

void fuzz_finders(const std::uint8_t* data, std::size_t size) {
  if (size < 7) return;
  const std::uint32_t width = data[0] % 40 + 1;
  const std::uint32_t height = data[1] % 40 + 1;
  const Rgb8 target{static_cast<std::uint8_t>(data[2] & 0x80 ? 255 : data[2]), data[2], static_cast<std::uint8_t>(7)};
  const std::uint8_t tolerance = data[3] % 4 == 0 ? data[3] : data[3] % 8;
  const std::uint32_t min_width = data[4] % 6, min_height = data[5] % 6;
  const std::uint8_t* pixels = data + 6;
  const std::size_t count = size - 6;

  const auto shift = [](std::uint8_t v, int by) { return static_cast<std::uint8_t>(std::clamp(v + by, 0, 255)); };
  const Rgb8 palette[] = {target, target, {shift(target.r, -5), shift(target.g, 5), target.b},
                          {shift(target.r, 6), target.g, target.b}, {255, 255, 255}, {0, 0, 0},
                          {shift(target.r, -3), target.g, shift(target.b, 2)}, {target.r, shift(target.g, -9), target.b}};
  std::vector<std::uint8_t> image(std::size_t{width} * height * 3);
  for (std::size_t i = 0; i < std::size_t{width} * height; ++i) {
    const Rgb8 c = palette[pixels[i % count] % 8];
    image[3 * i] = c.r, image[3 * i + 1] = c.g, image[3 * i + 2] = c.b;
  }
  const auto at = [&](std::uint32_t x, std::uint32_t y) { return &image[(std::size_t{y} * width + x) * 3]; };

  const std::vector<ColorRegion> regions =
      vision_core::color_regions(image, width, height, target, tolerance, min_width, min_height);
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const ColorRegion& r = regions[i];
    check(r.width >= std::max(1u, min_width) && r.height >= std::max(1u, min_height));
    check(r.x + r.width <= width && r.y + r.height <= height);
    bool top = false, left = false;
    for (std::uint32_t x = r.x; x < r.x + r.width; ++x) top = top || within(at(x, r.y), target, tolerance);
    for (std::uint32_t y = r.y; y < r.y + r.height; ++y) left = left || within(at(r.x, y), target, tolerance);
    check(top && left);
    if (i > 0) {
      const ColorRegion& p = regions[i - 1];
      check(p.y < r.y || (p.y == r.y && p.x <= r.x));
    }
  }

  bool any = false;
  for (std::uint32_t y = 0; y < height && !any; ++y) {
    for (std::uint32_t x = 0; x < width && !any; ++x) any = within(at(x, y), target, 5);
  }
  const auto rect = vision_core::largest_color_rectangle(image, width, height, target);
  if (!any) check(!rect.has_value());
  if (rect) {
    check(rect->width >= 1 && rect->height >= 1);
    check(rect->x + rect->width <= width && rect->y + rect->height <= height);
    check(within(at(rect->x, rect->y), target, 5));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    fuzz_parser(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  } else {
    fuzz_finders(data + 1, size - 1);
  }
  return 0;
}
