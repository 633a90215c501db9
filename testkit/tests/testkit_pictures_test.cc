// The pictures the tests and benchmarks are built on: a fault here would make
// other tests pass or fail for the wrong reason.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/base64.h"
#include "support/temp_tree.h"
#include "testkit/png_file_reader.h"
#include "testkit/synthetic_screen.h"
#include "testkit/text_render.h"
#include "testkit/ui_text_screen.h"

namespace pelagon2::testing {
namespace {

std::tuple<int, int, int> pixel(const vision_core::RgbImage& image, std::uint32_t x, std::uint32_t y) {
  const std::uint8_t* p = &image.pixels[(std::size_t{y} * image.width + x) * 3];
  return {p[0], p[1], p[2]};
}

TEST(TestkitPictures, PngEncodingReadsBackAsTheSamePixelsAndResolution) {
  struct Case {
    const char* name;
    vision_core::RgbImage image;
    std::optional<double> dpi;
    std::uint32_t expected_ppm;  // 0: no pHYs chunk
  };
  const std::vector<Case> cases = {
      {"noise at 96 dpi", noise_image(37, 23, 1), 96.0, 3780},
      {"screen at 144 dpi", synthetic_screen(640, 400, 2), 144.0, 5669},
      {"one pixel, no resolution", noise_image(1, 1, 3), std::nullopt, 0},
  };
  TempTree tree;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string png = encode_png(c.image, c.dpi);
    ASSERT_FALSE(png.empty());
    const std::optional<PngFile> read = read_png_file(tree.put("picture.png", png));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->width, c.image.width);
    EXPECT_EQ(read->height, c.image.height);
    EXPECT_EQ(read->color_type, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(read->bit_depth, 8);
    EXPECT_EQ(read->pixels, c.image.pixels);
    EXPECT_EQ(read->has_phys, c.expected_ppm != 0);
    if (c.expected_ppm != 0) {
      EXPECT_EQ(read->ppm_x, c.expected_ppm);
      EXPECT_EQ(read->ppm_y, c.expected_ppm);
      EXPECT_EQ(read->unit, PNG_RESOLUTION_METER);
    }
  }
}

TEST(TestkitPictures, PngReaderRefusesWhatIsNotAReadablePng) {
  TempTree tree;
  const std::string whole = encode_png(noise_image(16, 16, 4));
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"missing", tree / "absent.png"},
      {"text", tree.put("text.png", "not a picture")},
      {"cut short", tree.put("short.png", whole.substr(0, whole.size() / 2))},
  };
  for (const auto& [name, path] : cases) EXPECT_FALSE(read_png_file(path).has_value()) << name;
}

TEST(TestkitPictures, RawParameterCarriesThePixelsAndTheirSize) {
  const vision_core::RgbImage image = noise_image(5, 3, 5);
  const Json with_dpi = raw_param(image, 120.0);
  const Expected<std::vector<std::uint8_t>> bytes = base64_decode(with_dpi.at("data").get<std::string>());
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(*bytes, image.pixels);
  EXPECT_EQ(with_dpi.at("width").get<std::uint32_t>(), 5u);
  EXPECT_EQ(with_dpi.at("height").get<std::uint32_t>(), 3u);
  EXPECT_EQ(with_dpi.at("dpiX").get<double>(), 120.0);
  EXPECT_FALSE(raw_param(image).contains("dpiX"));
  const Expected<std::vector<std::uint8_t>> png = base64_decode(png_param(image).at("data").get<std::string>());
  ASSERT_TRUE(png.ok());
  EXPECT_EQ(std::string(png->begin(), png->end()), encode_png(image));
}

TEST(TestkitPictures, CropUpscaleAndFillAddressTheRightPixels) {
  const vision_core::RgbImage source = noise_image(50, 40, 6);
  const vision_core::RgbImage piece = crop(source, 7, 11, 20, 9);
  ASSERT_EQ(piece.width, 20u);
  ASSERT_EQ(piece.height, 9u);
  for (const auto& [x, y] : {std::pair{0u, 0u}, std::pair{19u, 0u}, std::pair{0u, 8u}, std::pair{19u, 8u}}) {
    EXPECT_EQ(pixel(piece, x, y), pixel(source, 7 + x, 11 + y)) << x << "," << y;
  }

  const vision_core::RgbImage big = upscale_nearest(piece, 3);
  ASSERT_EQ(big.width, 60u);
  ASSERT_EQ(big.height, 27u);
  for (const auto& [x, y] : {std::pair{0u, 0u}, std::pair{2u, 2u}, std::pair{3u, 0u}, std::pair{59u, 26u}}) {
    EXPECT_EQ(pixel(big, x, y), pixel(piece, x / 3, y / 3)) << x << "," << y;
  }

  // A rectangle running over the edges paints up to them and nothing else.
  vision_core::RgbImage canvas = noise_image(10, 8, 7);
  const vision_core::RgbImage before = canvas;
  fill_rect(canvas, 6, 5, 100, 100, 1, 2, 3);
  for (std::uint32_t y = 0; y < canvas.height; ++y) {
    for (std::uint32_t x = 0; x < canvas.width; ++x) {
      const bool inside = x >= 6 && y >= 5;
      EXPECT_EQ(pixel(canvas, x, y), (inside ? std::tuple{1, 2, 3} : pixel(before, x, y))) << x << "," << y;
    }
  }
}

TEST(TestkitPictures, ScreensDependOnTheirSeedOnlyAndTheirBusiestWindowIsNotFlat) {
  EXPECT_EQ(synthetic_screen(800, 600, 9).pixels, synthetic_screen(800, 600, 9).pixels);
  EXPECT_NE(synthetic_screen(800, 600, 9).pixels, synthetic_screen(800, 600, 10).pixels);
  EXPECT_EQ(noise_image(64, 64, 9).pixels, noise_image(64, 64, 9).pixels);
  EXPECT_NE(noise_image(64, 64, 9).pixels, noise_image(64, 64, 10).pixels);

  const vision_core::RgbImage screen = synthetic_screen(1280, 800, 11);
  const auto [x, y] = busiest_window(screen, 48);
  ASSERT_LE(x + 48, screen.width);
  ASSERT_LE(y + 48, screen.height);
  const vision_core::RgbImage window = crop(screen, x, y, 48, 48);
  std::set<std::tuple<int, int, int>> colours;
  for (std::uint32_t row = 0; row < 48; ++row) {
    for (std::uint32_t col = 0; col < 48; ++col) colours.insert(pixel(window, col, row));
  }
  EXPECT_GT(colours.size(), 8u) << "window at " << x << "," << y;
}

TEST(TestkitPictures, DrawnTextReportsTheInkItLeft) {
  TextRenderer font;
  if (!font.ready()) GTEST_SKIP() << "font " << kDejaVuSans << " not installed";
  EXPECT_LT(font.width("iii", 16), font.width("WWW", 16));
  EXPECT_LT(font.width("Save", 12), font.width("Save", 24));

  struct Case {
    const char* name;
    std::int64_t x, baseline;
  };
  for (const Case& c : {Case{"inside", 10, 30}, Case{"over the right edge", 150, 30}, Case{"above the top", 10, 5}}) {
    SCOPED_TRACE(c.name);
    vision_core::RgbImage image = filled_image(200, 50, Rgb{255, 255, 255});
    const vision_core::RgbImage paper = image;
    const Ink ink = font.draw(image, "Hello", c.x, c.baseline, 16, Rgb{0, 0, 0});
    ASSERT_FALSE(ink.all.empty());
    EXPECT_GE(ink.all.left, 0);
    EXPECT_GE(ink.all.top, 0);
    EXPECT_LE(ink.all.right, 200);
    EXPECT_LE(ink.all.bottom, 50);
    EXPECT_GE(ink.solid.left, ink.all.left);
    EXPECT_LE(ink.solid.right, ink.all.right);
    // Every changed pixel lies in the reported box.
    for (std::uint32_t y = 0; y < image.height; ++y) {
      for (std::uint32_t x = 0; x < image.width; ++x) {
        if (pixel(image, x, y) == pixel(paper, x, y)) continue;
        const std::int64_t ix = x, iy = y;
        EXPECT_TRUE(ix >= ink.all.left && ix < ink.all.right && iy >= ink.all.top && iy < ink.all.bottom)
            << x << "," << y;
      }
    }
  }

  const TextScreen screen = ui_text_screen();
  EXPECT_EQ(screen.image.width, 1920u);
  ASSERT_FALSE(screen.lines.empty());
  for (const DrawnLine& line : screen.lines) EXPECT_FALSE(line.ink.solid.empty()) << line.text;
}

}  // namespace
}  // namespace pelagon2::testing
