#include "vision_core/color_regions.h"

#include <algorithm>
#include <cstddef>
#include <limits>

namespace vision_core {
namespace {

// One byte per pixel, built in a single pass: 1 where every channel is within
// `tolerance` of the target.
std::vector<std::uint8_t> match_mask(const RgbView& image, Rgb8 target, std::uint8_t tolerance) {
  const std::size_t width = image.width;
  std::vector<std::uint8_t> mask(width * image.height);
  // |v - t| <= tol  <=>  (v - t + tol) as unsigned <= 2 * tol; branch-free so
  // the loop vectorises.
  const unsigned tol = tolerance;
  const unsigned span = 2 * tol;
  const unsigned r = target.r, g = target.g, b = target.b;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    const std::uint8_t* p = image.row(y);
    std::uint8_t* out = mask.data() + y * width;
    for (std::size_t x = 0; x < width; ++x) {
      const unsigned dr = p[3 * x] + tol - r;
      const unsigned dg = p[3 * x + 1] + tol - g;
      const unsigned db = p[3 * x + 2] + tol - b;
      out[x] = static_cast<std::uint8_t>((dr <= span) & (dg <= span) & (db <= span));
    }
  }
  return mask;
}

bool packed_size_matches(std::size_t size, std::uint32_t width, std::uint32_t height) {
  if (width == 0 || height == 0) return size == 0;
  if (height > std::numeric_limits<std::size_t>::max() / 3 / width) return false;
  return size == std::size_t{width} * height * 3;
}

RgbView packed_view(std::span<const std::uint8_t> rgb, std::uint32_t width, std::uint32_t height) {
  return RgbView{width, height, rgb.data(), std::size_t{width} * 3};
}

}  // namespace

std::vector<ColorRegion> color_regions(const RgbView& image, Rgb8 target, std::uint8_t tolerance,
                                       std::uint32_t min_width, std::uint32_t min_height) {
  min_width = std::max<std::uint32_t>(1, min_width);
  min_height = std::max<std::uint32_t>(1, min_height);
  std::vector<ColorRegion> regions;
  if (image.width == 0 || image.height == 0) return regions;

  // Mask states: 0 other colour, 1 matching and not yet reached, 2 reached.
  constexpr std::uint8_t kOpen = 1;
  constexpr std::uint8_t kDone = 2;
  std::vector<std::uint8_t> mask = match_mask(image, target, tolerance);
  const std::size_t width = image.width;
  const std::size_t height = image.height;

  // Scanline fill: each stack entry is the index of a pixel that starts a run
  // of open pixels next to a filled span. An explicit stack, so an area of
  // millions of pixels needs no call depth; a run may be pushed more than
  // once and is skipped when it was filled meanwhile.
  std::vector<std::size_t> stack;
  for (std::size_t seed = 0; seed < mask.size(); ++seed) {
    if (mask[seed] != kOpen) continue;
    std::size_t min_x = seed % width, max_x = min_x;
    std::size_t min_y = seed / width, max_y = min_y;
    stack.push_back(seed);
    while (!stack.empty()) {
      const std::size_t index = stack.back();
      stack.pop_back();
      if (mask[index] != kOpen) continue;
      const std::size_t y = index / width;
      const std::size_t row = y * width;
      std::size_t x0 = index - row;
      std::size_t x1 = x0;
      while (x0 > 0 && mask[row + x0 - 1] == kOpen) --x0;
      while (x1 + 1 < width && mask[row + x1 + 1] == kOpen) ++x1;
      std::fill(mask.begin() + static_cast<std::ptrdiff_t>(row + x0),
                mask.begin() + static_cast<std::ptrdiff_t>(row + x1 + 1), kDone);
      min_x = std::min(min_x, x0);
      max_x = std::max(max_x, x1);
      min_y = std::min(min_y, y);
      max_y = std::max(max_y, y);
      for (const std::size_t next : {y - 1, y + 1}) {
        // y - 1 wraps to the largest value at the top row and fails this test.
        if (next >= height) continue;
        const std::size_t next_row = next * width;
        for (std::size_t x = x0; x <= x1; ++x) {
          if (mask[next_row + x] == kOpen && (x == x0 || mask[next_row + x - 1] != kOpen)) {
            stack.push_back(next_row + x);
          }
        }
      }
    }
    const std::size_t box_width = max_x - min_x + 1;
    const std::size_t box_height = max_y - min_y + 1;
    if (box_width >= min_width && box_height >= min_height) {
      regions.push_back(ColorRegion{static_cast<std::uint32_t>(min_x), static_cast<std::uint32_t>(min_y),
                                    static_cast<std::uint32_t>(box_width), static_cast<std::uint32_t>(box_height)});
    }
  }
  std::stable_sort(regions.begin(), regions.end(), [](const ColorRegion& a, const ColorRegion& b) {
    return a.y != b.y ? a.y < b.y : a.x < b.x;
  });
  return regions;
}

std::vector<ColorRegion> color_regions(std::span<const std::uint8_t> rgb, std::uint32_t width, std::uint32_t height,
                                       Rgb8 target, std::uint8_t tolerance, std::uint32_t min_width,
                                       std::uint32_t min_height) {
  if (!packed_size_matches(rgb.size(), width, height)) return {};
  return color_regions(packed_view(rgb, width, height), target, tolerance, min_width, min_height);
}

std::optional<ColorRegion> largest_color_rectangle(const RgbView& image, Rgb8 target) {
  constexpr std::uint8_t kTolerance = 5;
  if (image.width == 0 || image.height == 0) return std::nullopt;
  const std::vector<std::uint8_t> mask = match_mask(image, target, kTolerance);
  const std::int64_t width = image.width;
  const std::int64_t height = image.height;
  const auto on = [&](std::int64_t x, std::int64_t y) { return mask[static_cast<std::size_t>(y * width + x)] != 0; };
  // Runs of matching pixels from (x, y), the first pixel included.
  const auto run_right = [&](std::int64_t x, std::int64_t y) {
    std::int64_t n = 0;
    while (x + n < width && on(x + n, y)) ++n;
    return n;
  };
  const auto run_left = [&](std::int64_t x, std::int64_t y) {
    std::int64_t n = 0;
    while (x - n >= 0 && on(x - n, y)) ++n;
    return n;
  };
  const auto run_down = [&](std::int64_t x, std::int64_t y) {
    std::int64_t n = 0;
    while (y + n < height && on(x, y + n)) ++n;
    return n;
  };
  const auto run_up = [&](std::int64_t x, std::int64_t y) {
    std::int64_t n = 0;
    while (y - n >= 0 && on(x, y - n)) ++n;
    return n;
  };

  // Every rectangle found so far has its top row at or above the current row,
  // so a pixel lies inside one exactly when some rectangle spanning its column
  // reaches below its row: one bottom edge per column answers that. A
  // rectangle starting at (x, y) covers its row from x on, so the rectangles
  // of one row never overlap and marking them costs at most two widths a row.
  std::vector<std::int64_t> covered_below(static_cast<std::size_t>(width), 0);
  std::optional<ColorRegion> best;
  std::uint64_t best_area = 0;
  const auto add = [&](std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h) {
    for (std::int64_t c = x; c < x + w; ++c) {
      std::int64_t& bottom = covered_below[static_cast<std::size_t>(c)];
      bottom = std::max(bottom, y + h);
    }
    const std::uint64_t area = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
    // Equal areas: the later rectangle wins.
    if (!best || area >= best_area) {
      best = ColorRegion{static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), static_cast<std::uint32_t>(w),
                         static_cast<std::uint32_t>(h)};
      best_area = area;
    }
  };

  for (std::int64_t y = 0; y < height; ++y) {
    for (std::int64_t x = 0; x < width; ++x) {
      if (!on(x, y) || covered_below[static_cast<std::size_t>(x)] > y) continue;
      // Clockwise: top edge, right edge, bottom edge, left edge.
      std::optional<ColorRegion> first;
      const std::int64_t t = run_right(x, y);
      const std::int64_t d = run_down(x + t - 1, y);
      if (d > 0) {
        const std::int64_t b = run_left(x + t - 1, y + d - 1);
        const std::int64_t u = run_up(x, y + d - 1);
        if (b >= 1 && u >= 1) {
          const std::int64_t w = std::min(t, b), h = std::min(d, u);
          first = ColorRegion{static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
                              static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)};
          add(x, y, w, h);
        }
      }
      // Counter-clockwise: left edge, bottom edge, right edge, top edge.
      const std::int64_t d2 = run_down(x, y);
      if (d2 > 0) {
        const std::int64_t t2 = run_right(x, y + d2 - 1);
        const std::int64_t u2 = run_up(x + t2 - 1, y + d2 - 1);
        const std::int64_t b2 = run_left(x + t2 - 1, y);
        if (u2 >= 1 && b2 >= 1) {
          const std::int64_t w = std::min(t2, b2), h = std::min(d2, u2);
          const ColorRegion second{static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
                                   static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)};
          // Rectangles start at the pixel they were traced from, so only the
          // first trace's can be identical.
          if (!first || *first != second) add(x, y, w, h);
        }
      }
    }
  }
  return best;
}

std::optional<ColorRegion> largest_color_rectangle(std::span<const std::uint8_t> rgb, std::uint32_t width,
                                                   std::uint32_t height, Rgb8 target) {
  if (!packed_size_matches(rgb.size(), width, height)) return std::nullopt;
  return largest_color_rectangle(packed_view(rgb, width, height), target);
}

}  // namespace vision_core
