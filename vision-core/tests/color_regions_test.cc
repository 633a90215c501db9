// Colour regions and the largest colour rectangle: the documented cases, huge
// areas, and random pictures against a literal per-pixel reference.

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "vision_core/color_regions.h"

namespace vision_core {
namespace {

constexpr Rgb8 kRed{255, 0, 0};
constexpr Rgb8 kWhite{255, 255, 255};

RgbImage canvas(std::uint32_t w, std::uint32_t h, Rgb8 colour = kWhite) {
  RgbImage image(w, h);
  for (std::size_t i = 0; i < image.pixels.size(); i += 3) {
    image.pixels[i] = colour.r;
    image.pixels[i + 1] = colour.g;
    image.pixels[i + 2] = colour.b;
  }
  return image;
}

void put(RgbImage& image, std::uint32_t x, std::uint32_t y, Rgb8 colour) {
  std::uint8_t* p = &image.pixels[(std::size_t{y} * image.width + x) * 3];
  p[0] = colour.r;
  p[1] = colour.g;
  p[2] = colour.b;
}

void fill(RgbImage& image, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h, Rgb8 colour = kRed) {
  for (std::uint32_t row = y; row < y + h; ++row) {
    for (std::uint32_t col = x; col < x + w; ++col) put(image, col, row, colour);
  }
}

void outline(RgbImage& image, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h, Rgb8 colour = kRed) {
  fill(image, x, y, w, 1, colour);
  fill(image, x, y + h - 1, w, 1, colour);
  fill(image, x, y, 1, h, colour);
  fill(image, x + w - 1, y, 1, h, colour);
}

std::vector<ColorRegion> regions_of(const RgbImage& image, Rgb8 target, std::uint8_t tolerance = 0,
                                    std::uint32_t min_w = 3, std::uint32_t min_h = 3) {
  return color_regions(image.pixels, image.width, image.height, target, tolerance, min_w, min_h);
}

std::string show(const std::vector<ColorRegion>& regions) {
  std::string out;
  for (const ColorRegion& r : regions) {
    out += "(" + std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height) + ")";
  }
  return out;
}

// ---- Literal references --------------------------------------------------

bool within(const RgbImage& image, std::uint32_t x, std::uint32_t y, Rgb8 t, int tolerance) {
  const std::uint8_t* p = &image.pixels[(std::size_t{y} * image.width + x) * 3];
  return std::abs(p[0] - t.r) <= tolerance && std::abs(p[1] - t.g) <= tolerance && std::abs(p[2] - t.b) <= tolerance;
}

std::vector<ColorRegion> reference_regions(const RgbImage& image, Rgb8 t, int tolerance, std::uint32_t min_w,
                                           std::uint32_t min_h) {
  const std::uint32_t w = image.width, h = image.height;
  std::vector<char> seen(std::size_t{w} * h, 0);
  std::vector<ColorRegion> out;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      if (seen[y * w + x] || !within(image, x, y, t, tolerance)) continue;
      std::uint32_t x0 = x, x1 = x, y0 = y, y1 = y;
      std::deque<std::pair<std::uint32_t, std::uint32_t>> queue{{x, y}};
      seen[y * w + x] = 1;
      while (!queue.empty()) {
        auto [cx, cy] = queue.front();
        queue.pop_front();
        x0 = std::min(x0, cx), x1 = std::max(x1, cx), y0 = std::min(y0, cy), y1 = std::max(y1, cy);
        const int dx[] = {1, -1, 0, 0}, dy[] = {0, 0, 1, -1};
        for (int k = 0; k < 4; ++k) {
          const std::int64_t nx = std::int64_t{cx} + dx[k], ny = std::int64_t{cy} + dy[k];
          if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
          const auto ux = static_cast<std::uint32_t>(nx), uy = static_cast<std::uint32_t>(ny);
          if (seen[uy * w + ux] || !within(image, ux, uy, t, tolerance)) continue;
          seen[uy * w + ux] = 1;
          queue.emplace_back(ux, uy);
        }
      }
      if (x1 - x0 + 1 >= std::max(1u, min_w) && y1 - y0 + 1 >= std::max(1u, min_h)) {
        out.push_back({x0, y0, x1 - x0 + 1, y1 - y0 + 1});
      }
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const ColorRegion& a, const ColorRegion& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
  return out;
}

// The two traces word for word, with the whole list of found rectangles.
std::optional<ColorRegion> reference_rectangle(const RgbImage& image, Rgb8 t) {
  const std::int64_t W = image.width, H = image.height;
  const auto on = [&](std::int64_t x, std::int64_t y) {
    return within(image, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), t, 5);
  };
  std::vector<ColorRegion> found;
  const auto add = [&](ColorRegion r) {
    for (const ColorRegion& f : found) {
      if (f == r) return;
    }
    found.push_back(r);
  };
  for (std::int64_t y = 0; y < H; ++y) {
    for (std::int64_t x = 0; x < W; ++x) {
      if (!on(x, y)) continue;
      bool inside = false;
      for (const ColorRegion& r : found) {
        inside = inside || (r.x <= x && x < r.x + r.width && r.y <= y && y < r.y + r.height);
      }
      if (inside) continue;
      std::int64_t tt = 0, d = 0, b = 0, u = 0;
      while (x + tt < W && on(x + tt, y)) ++tt;
      while (y + d < H && on(x + tt - 1, y + d)) ++d;
      if (d > 0) {
        while (x + tt - 1 - b >= 0 && on(x + tt - 1 - b, y + d - 1)) ++b;
        while (y + d - 1 - u >= 0 && on(x, y + d - 1 - u)) ++u;
        if (b >= 1 && u >= 1) {
          add({static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
               static_cast<std::uint32_t>(std::min(tt, b)), static_cast<std::uint32_t>(std::min(d, u))});
        }
      }
      std::int64_t d2 = 0, t2 = 0, u2 = 0, b2 = 0;
      while (y + d2 < H && on(x, y + d2)) ++d2;
      if (d2 > 0) {
        while (x + t2 < W && on(x + t2, y + d2 - 1)) ++t2;
        while (y + d2 - 1 - u2 >= 0 && on(x + t2 - 1, y + d2 - 1 - u2)) ++u2;
        while (x + t2 - 1 - b2 >= 0 && on(x + t2 - 1 - b2, y)) ++b2;
        if (u2 >= 1 && b2 >= 1) {
          add({static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
               static_cast<std::uint32_t>(std::min(t2, b2)), static_cast<std::uint32_t>(std::min(d2, u2))});
        }
      }
    }
  }
  if (found.empty()) return std::nullopt;
  ColorRegion best = found.front();
  for (const ColorRegion& r : found) {
    if (std::uint64_t{r.width} * r.height >= std::uint64_t{best.width} * best.height) best = r;
  }
  return best;
}

// Random pictures of two colours with a few runs and blocks, so components,
// open shapes and nested outlines all occur.
RgbImage random_picture(std::uint32_t w, std::uint32_t h, std::uint32_t seed) {
  std::uint64_t state = seed * 2654435761u + 7;
  const auto next = [&](std::uint32_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>((state >> 33) % bound);
  };
  RgbImage image = canvas(w, h);
  const std::uint32_t strokes = 1 + next(12);
  for (std::uint32_t i = 0; i < strokes; ++i) {
    const std::uint32_t x = next(w), y = next(h);
    const std::uint32_t rw = 1 + next(w - x), rh = 1 + next(h - y);
    switch (next(4)) {
      case 0: fill(image, x, y, rw, rh); break;
      case 1: outline(image, x, y, rw, rh); break;
      case 2: fill(image, x, y, rw, rh, kWhite); break;
      default: put(image, x, y, Rgb8{static_cast<std::uint8_t>(250 + next(6)), 0, static_cast<std::uint8_t>(next(7))});
    }
  }
  // Sprinkled noise pixels near and far from the colour.
  for (std::uint32_t i = 0, n = next(w * h / 4 + 1); i < n; ++i) {
    put(image, next(w), next(h), next(2) ? kRed : Rgb8{static_cast<std::uint8_t>(next(256)), 3, 4});
  }
  return image;
}

// ---- color_regions -------------------------------------------------------

TEST(ColorRegions, Tolerance) {
  RgbImage image = canvas(10, 10);
  fill(image, 2, 2, 4, 4, Rgb8{250, 5, 5});
  struct Case {
    std::uint8_t tolerance;
    std::vector<ColorRegion> expected;
  };
  const Case cases[] = {
      {0, {}},
      {4, {}},
      {5, {{2, 2, 4, 4}}},
      {10, {{2, 2, 4, 4}}},
      {255, {{0, 0, 10, 10}}},  // every pixel is within 255
  };
  for (const Case& c : cases) EXPECT_EQ(regions_of(image, kRed, c.tolerance), c.expected) << int{c.tolerance};
  // Each channel separately: a pixel off by 6 in one channel only is out at 5.
  fill(image, 2, 2, 1, 4, Rgb8{255, 0, 6});
  EXPECT_EQ(regions_of(image, kRed, 5), (std::vector<ColorRegion>{{3, 2, 3, 4}}));
  EXPECT_EQ(regions_of(image, kRed, 6), (std::vector<ColorRegion>{{2, 2, 4, 4}}));
}

TEST(ColorRegions, SizesConnectivityShapesAndOrder) {
  struct Case {
    const char* name;
    void (*draw)(RgbImage&);
    std::uint32_t min_w, min_h;
    std::vector<ColorRegion> expected;
  };
  const Case cases[] = {
      {"2x2 under the default minimum", [](RgbImage& i) { fill(i, 4, 4, 2, 2); }, 3, 3, {}},
      {"2x2 with minimum 2", [](RgbImage& i) { fill(i, 4, 4, 2, 2); }, 2, 2, {{4, 4, 2, 2}}},
      {"minimum 0 acts as 1", [](RgbImage& i) { put(i, 7, 1, kRed); }, 0, 0, {{7, 1, 1, 1}}},
      {"width and height judged apart", [](RgbImage& i) { fill(i, 1, 1, 5, 2), fill(i, 10, 1, 2, 5); }, 3, 3, {}},
      {"corner contact is no connection",
       [](RgbImage& i) { fill(i, 0, 0, 3, 3), fill(i, 3, 3, 3, 3); },
       3,
       3,
       {{0, 0, 3, 3}, {3, 3, 3, 3}}},
      {"L shape gives its bounding box", [](RgbImage& i) { fill(i, 2, 2, 1, 8), fill(i, 2, 9, 6, 1); }, 3, 3,
       {{2, 2, 6, 8}}},
      {"smaller y first", [](RgbImage& i) { fill(i, 100, 50, 3, 3), fill(i, 10, 60, 3, 3); }, 3, 3,
       {{100, 50, 3, 3}, {10, 60, 3, 3}}},
      {"same y: smaller x first", [](RgbImage& i) { fill(i, 30, 50, 3, 3), fill(i, 10, 50, 3, 3); }, 3, 3,
       {{10, 50, 3, 3}, {30, 50, 3, 3}}},
      // Both boxes start at (2, 1): the one whose first pixel comes first in
      // row-major order (the small block) stays first.
      {"same corner keeps discovery order",
       [](RgbImage& i) {
         fill(i, 2, 1, 3, 3);
         fill(i, 6, 1, 1, 6), fill(i, 2, 6, 5, 1);
       },
       1,
       1,
       {{2, 1, 3, 3}, {2, 1, 5, 6}}},
      {"spiral is one region",
       [](RgbImage& i) {
         outline(i, 0, 0, 40, 40);
         fill(i, 0, 0, 1, 40, kWhite);  // open the left side
         outline(i, 4, 4, 32, 32);
         fill(i, 36, 20, 3, 1);  // bridge the two rings
       },
       3,
       3,
       {{1, 0, 39, 40}}},
  };
  for (const Case& c : cases) {
    RgbImage image = canvas(120, 80);
    c.draw(image);
    const std::vector<ColorRegion> got = regions_of(image, kRed, 0, c.min_w, c.min_h);
    EXPECT_EQ(got, c.expected) << c.name << ": " << show(got);
  }
}

TEST(ColorRegions, AgreesWithReferenceOnRandomPictures) {
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    const std::uint32_t w = 1 + seed % 23, h = 1 + (seed * 7) % 19;
    const RgbImage image = random_picture(w, h, seed);
    const auto tolerance = static_cast<std::uint8_t>(seed % 3 == 0 ? 6 : 0);
    const std::uint32_t min_w = seed % 4, min_h = (seed / 4) % 4;
    EXPECT_EQ(regions_of(image, kRed, tolerance, min_w, min_h),
              reference_regions(image, kRed, tolerance, min_w, min_h))
        << "seed " << seed;
  }
}

TEST(ColorRegions, ViewWithStrideEqualsPackedCrop) {
  const RgbImage big = random_picture(60, 40, 99);
  const RgbView window = big.view().crop(7, 5, 31, 22);
  RgbImage packed(31, 22);
  for (std::uint32_t y = 0; y < 22; ++y) {
    std::copy_n(window.row(y), 31 * 3, &packed.pixels[std::size_t{y} * 31 * 3]);
  }
  EXPECT_EQ(color_regions(window, kRed, 2, 1, 1), regions_of(packed, kRed, 2, 1, 1));
  EXPECT_EQ(largest_color_rectangle(window, kRed), largest_color_rectangle(packed.view(), kRed));
}

TEST(ColorRegions, WrongBufferLengthFindsNothing) {
  const RgbImage image = canvas(4, 4, kRed);
  const std::span<const std::uint8_t> all = image.pixels;
  EXPECT_EQ(color_regions(all, 4, 4, kRed, 0, 1, 1).size(), 1u);
  EXPECT_TRUE(color_regions(all.first(47), 4, 4, kRed, 0, 1, 1).empty());
  EXPECT_TRUE(color_regions(all, 5, 4, kRed, 0, 1, 1).empty());
  EXPECT_TRUE(color_regions(all, 0x80000000u, 0x80000000u, kRed, 0, 1, 1).empty());
  EXPECT_FALSE(largest_color_rectangle(all.first(47), 4, 4, kRed).has_value());
  EXPECT_TRUE(color_regions({}, 0, 7, kRed, 0, 1, 1).empty());
  EXPECT_FALSE(largest_color_rectangle({}, 0, 0, kRed).has_value());
}

// A whole 4K screen of the colour, and a serpentine path through a large
// picture whose fill would need millions of nested calls if it recursed.
TEST(ColorRegions, ScreenSizedAreas) {
  const RgbImage full = canvas(3840, 2160, kRed);
  EXPECT_EQ(regions_of(full, kRed), (std::vector<ColorRegion>{{0, 0, 3840, 2160}}));

  RgbImage maze = canvas(2000, 1500, kRed);
  for (std::uint32_t y = 1; y < 1500; y += 2) {
    // Every other row is a wall with one gap, alternating ends.
    fill(maze, (y / 2) % 2 == 0 ? 0 : 1, y, 1999, 1, kWhite);
  }
  // The last row is a wall whose gap still belongs to the path.
  EXPECT_EQ(regions_of(maze, kRed), (std::vector<ColorRegion>{{0, 0, 2000, 1500}}));
  EXPECT_EQ(largest_color_rectangle(full.view(), kRed), (ColorRegion{0, 0, 3840, 2160}));
}

// ---- largest_color_rectangle ---------------------------------------------

TEST(LargestColorRectangle, DocumentedCases) {
  struct Case {
    const char* name;
    void (*draw)(RgbImage&);
    std::optional<ColorRegion> expected;
  };
  const Case cases[] = {
      {"no pixel of the colour", [](RgbImage&) {}, std::nullopt},
      {"filled square beats a larger-looking outline",
       [](RgbImage& i) { outline(i, 5, 5, 40, 20), fill(i, 60, 10, 30, 30); },
       ColorRegion{60, 10, 30, 30}},
      {"outline beats a smaller square", [](RgbImage& i) { outline(i, 5, 5, 40, 20), fill(i, 60, 10, 20, 20); },
       ColorRegion{5, 5, 40, 20}},
      {"equal areas: the later corner wins", [](RgbImage& i) { fill(i, 50, 5, 10, 10), fill(i, 5, 30, 10, 10); },
       ColorRegion{5, 30, 10, 10}},
      {"equal areas on one row: the right one wins", [](RgbImage& i) { fill(i, 5, 5, 6, 4), fill(i, 20, 5, 4, 6); },
       ColorRegion{20, 5, 4, 6}},
      {"single pixel", [](RgbImage& i) { put(i, 3, 4, kRed); }, ColorRegion{3, 4, 1, 1}},
      {"tolerance is five", [](RgbImage& i) { fill(i, 2, 2, 3, 3, Rgb8{250, 5, 0}), fill(i, 10, 10, 5, 5, {249, 0, 0}); },
       ColorRegion{2, 2, 3, 3}},
      // The bottom side is shorter than the top: the smaller wins.
      {"open shape yields the shorter sides",
       [](RgbImage& i) {
         fill(i, 10, 10, 20, 1), fill(i, 10, 10, 1, 15), fill(i, 29, 10, 1, 15), fill(i, 18, 24, 12, 1);
       },
       ColorRegion{10, 10, 12, 15}},
  };
  for (const Case& c : cases) {
    RgbImage image = canvas(100, 60);
    c.draw(image);
    EXPECT_EQ(largest_color_rectangle(image.view(), kRed), c.expected) << c.name;
    EXPECT_EQ(reference_rectangle(image, kRed), c.expected) << c.name << " (reference)";
  }
}

TEST(LargestColorRectangle, AgreesWithReferenceOnRandomPictures) {
  for (std::uint32_t seed = 1; seed <= 600; ++seed) {
    const std::uint32_t w = 1 + seed % 29, h = 1 + (seed * 5) % 17;
    const RgbImage image = random_picture(w, h, seed);
    EXPECT_EQ(largest_color_rectangle(image.view(), kRed), reference_rectangle(image, kRed)) << "seed " << seed;
  }
}

}  // namespace
}  // namespace vision_core
