// The colour methods' parameters, the search-area conversion and the replies
// computed from a capture.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "input/color_search.h"
#include "main/request_handler.h"

namespace pelagon2::input {
namespace {

using vision_core::Rgb8;
using vision_core::RgbImage;

screen::RgbCapture capture_of(RgbImage image, double origin_x = 0, double origin_y = 0) {
  screen::RgbCapture capture;
  capture.image = std::move(image);
  capture.origin_x = origin_x;
  capture.origin_y = origin_y;
  return capture;
}

RgbImage white(std::uint32_t w, std::uint32_t h) {
  RgbImage image(w, h);
  std::fill(image.pixels.begin(), image.pixels.end(), std::uint8_t{255});
  return image;
}

void fill(RgbImage& image, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h, Rgb8 c) {
  for (std::uint32_t row = y; row < y + h; ++row) {
    for (std::uint32_t col = x; col < x + w; ++col) {
      std::uint8_t* p = &image.pixels[(std::size_t{row} * image.width + col) * 3];
      p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
  }
}

Json rect(std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h) {
  return Json{{"height", h}, {"width", w}, {"x", x}, {"y", y}};
}

TEST(ColorParams, ColourSpellings) {
  struct Case {
    std::string text;
    std::optional<Rgb8> expected;  // nullopt: the not-rrggbb error
    std::string shown;             // the text quoted in the error
  };
  const Case cases[] = {
      {"#FF0000", Rgb8{255, 0, 0}, ""},
      {"ff0000", Rgb8{255, 0, 0}, ""},
      {"Ff0000", Rgb8{255, 0, 0}, ""},
      {"#0a1B2c", Rgb8{10, 27, 44}, ""},
      {"+f+f+f", Rgb8{15, 15, 15}, ""},
      {"#+a00+0", Rgb8{10, 0, 0}, ""},
      {"#ff000", std::nullopt, "ff000"},
      {"gg0000", std::nullopt, "gg0000"},
      {"", std::nullopt, ""},
      {"#", std::nullopt, ""},
      {"##ff0000", std::nullopt, "#ff0000"},
      {"ff00000", std::nullopt, "ff00000"},
      {"-f0000", std::nullopt, "-f0000"},
      {"f+0000", std::nullopt, "f+0000"},
      {"++0000", std::nullopt, "++0000"},
      {" f0000", std::nullopt, " f0000"},
      {"0xff00", std::nullopt, "0xff00"},
      {"ff\xc3\xa9" "00", std::nullopt, "ff\xc3\xa9" "00"},
      {std::string("ff\0" "000", 6), std::nullopt, std::string("ff\0" "000", 6)},
  };
  for (const Case& c : cases) {
    const Expected<Rgb8> got = parse_rrggbb(c.text);
    if (c.expected) {
      ASSERT_TRUE(got.ok()) << c.text << ": " << got.error();
      EXPECT_EQ(*got, *c.expected) << c.text;
    } else {
      ASSERT_FALSE(got.ok()) << c.text;
      EXPECT_EQ(got.error(), "bad_params: color '" + c.shown + "' is not rrggbb") << c.text;
    }
  }
}

TEST(ColorParams, MissingColour) {
  for (const Json& params : {Json(), Json::array(), Json{{"colour", "ff0000"}}, Json{{"color", 0xff0000}},
                             Json{{"color", nullptr}}, Json{{"color", Json::array({"ff0000"})}}}) {
    const Expected<Rgb8> got = read_color(params);
    ASSERT_FALSE(got.ok()) << params.dump();
    EXPECT_EQ(got.error(), "bad_params: missing 'color'") << params.dump();
  }
  // The colour is checked before the other parameters.
  const auto parsed = read_color_region_params(Json{{"tolerance", "x"}});
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error(), "bad_params: missing 'color'");
}

TEST(ColorParams, ToleranceAndMinimumSizes) {
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  struct Case {
    Json extra;
    std::uint8_t tolerance;
    std::uint32_t min_width, min_height;
  };
  const Case cases[] = {
      {Json::object(), 0, 3, 3},
      {{{"tolerance", 10}}, 10, 3, 3},
      {{{"tolerance", 255}}, 255, 3, 3},
      {{{"tolerance", 300}}, 255, 3, 3},
      {{{"tolerance", std::uint64_t{1} << 63}}, 255, 3, 3},
      {{{"tolerance", 2.5}}, 0, 3, 3},
      {{{"tolerance", 10.0}}, 0, 3, 3},
      {{{"tolerance", -3}}, 0, 3, 3},
      {{{"tolerance", "10"}}, 0, 3, 3},
      {{{"tolerance", true}}, 0, 3, 3},
      {{{"minWidth", 2}, {"minHeight", 7}}, 0, 2, 7},
      {{{"minWidth", 0}, {"minHeight", 0}}, 0, 0, 0},
      {{{"minWidth", -1}, {"minHeight", 2.0}}, 0, 3, 3},
      {{{"minWidth", "5"}, {"minHeight", nullptr}}, 0, 3, 3},
      {{{"minWidth", 10000000000u}, {"minHeight", 4294967296u}}, 0, kMax, kMax},
  };
  for (const Case& c : cases) {
    Json params = c.extra;
    params["color"] = "#00ff00";
    const auto parsed = read_color_region_params(params);
    ASSERT_TRUE(parsed.ok()) << params.dump();
    EXPECT_EQ(parsed->color, (Rgb8{0, 255, 0}));
    EXPECT_EQ(parsed->tolerance, c.tolerance) << params.dump();
    EXPECT_EQ(parsed->min_width, c.min_width) << params.dump();
    EXPECT_EQ(parsed->min_height, c.min_height) << params.dump();
  }
}

TEST(ColorParams, SearchAreaNeedsFourNumbers) {
  struct Case {
    Json area;
    bool used;
  };
  const Case cases[] = {
      {Json{{"x", 1}, {"y", -2}, {"width", 3.5}, {"height", 4}}, true},
      {Json{{"x", 1}, {"y", 2}, {"width", 3}}, false},
      {Json{{"x", 1}, {"y", 2}, {"width", 3}, {"height", "4"}}, false},
      {Json{{"x", 1}, {"y", 2}, {"width", 3}, {"height", nullptr}}, false},
      {Json::array({1, 2, 3, 4}), false},
      {Json("0,0,10,10"), false},
  };
  for (const Case& c : cases) {
    const auto parsed = read_color_region_params(Json{{"color", "ff0000"}, {"searchArea", c.area}});
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed->search_area.has_value(), c.used) << c.area.dump();
  }
  const auto parsed =
      read_color_region_params(Json{{"color", "ff0000"}, {"searchArea", {{"x", 1}, {"y", -2}, {"width", 3.5}, {"height", 4}}}});
  ASSERT_TRUE(parsed->search_area.has_value());
  EXPECT_EQ(parsed->search_area->y, -2.0);
  EXPECT_EQ(parsed->search_area->width, 3.5);
}

TEST(ColorParams, SearchAreaInCapturePixels) {
  struct Case {
    ScreenArea area;
    double origin_x, origin_y;
    screen::PixelWindow expected;
  };
  constexpr double kHuge = 1e300;
  const Case cases[] = {
      {{10, 20, 30, 40}, 0, 0, {10, 20, 40, 60}},
      {{110, 70, 30, 40}, 100, 50, {10, 20, 40, 60}},
      // Halves round away from zero, before clamping.
      {{10.5, 20.5, 5, 5}, 0, 0, {11, 21, 16, 26}},
      {{0.4, 0.6, 9.2, 9.9}, 0, 0, {0, 1, 10, 11}},
      {{-0.5, -10, 5, 5}, 0, 0, {0, 0, 5, 0}},
      {{1000, 10, 50, 50}, 2000, 0, {0, 10, 0, 60}},
      {{-kHuge, -kHuge, 2 * kHuge, kHuge * 3}, 0, 0, {0, 0, 200, 100}},
      {{50, 50, -10, 10}, 0, 0, {50, 50, 40, 60}},
      {{150, 10, 500, 10}, 0, 0, {150, 10, 200, 20}},
  };
  for (const Case& c : cases) {
    const screen::RgbCapture capture = capture_of(RgbImage(200, 100), c.origin_x, c.origin_y);
    const screen::PixelWindow got = capture_window(c.area, capture);
    EXPECT_EQ(got, c.expected) << c.area.x << "," << c.area.y << " " << c.area.width << "x" << c.area.height << " -> "
                               << got.left << "," << got.top << " " << got.right << "," << got.bottom;
  }
  EXPECT_TRUE((screen::PixelWindow{50, 50, 40, 60}).empty());
  EXPECT_TRUE((screen::PixelWindow{150, 10, 200, 10}).empty());
}

TEST(ColorRegionsReply, ScreenPixelsCropAndOrder) {
  RgbImage image = white(200, 100);
  const Rgb8 red{255, 0, 0};
  fill(image, 100, 50, 3, 3, red);
  fill(image, 10, 60, 4, 5, red);
  fill(image, 150, 10, 2, 2, red);
  const screen::RgbCapture capture = capture_of(std::move(image), -1440.5, 20.2);
  const auto parse = [](Json params) {
    if (!params.contains("color")) params["color"] = "ff0000";
    return *read_color_region_params(params);
  };
  // round(-1440.5) = -1441, round(20.2) = 20.
  struct Case {
    const char* name;
    Json params;
    Json regions;
  };
  const Case cases[] = {
      {"whole capture, default minimum", Json::object(),
       Json::array({rect(-1341, 70, 3, 3), rect(-1431, 80, 4, 5)})},
      {"small minimum", Json{{"minWidth", 2}, {"minHeight", 2}},
       Json::array({rect(-1291, 30, 2, 2), rect(-1341, 70, 3, 3), rect(-1431, 80, 4, 5)})},
      // The area [-1440.5 + 90, …) starts at capture column round(90) = 90.
      {"search area crops", Json{{"searchArea", {{"x", -1350.5}, {"y", 0}, {"width", 100}, {"height", 100}}}},
       Json::array({rect(-1341, 70, 3, 3)})},
      // Cropping through a block reports only the part inside the area.
      {"crop cuts a block", Json{{"searchArea", {{"x", -1439.5}, {"y", 82.2}, {"width", 13}, {"height", 100}}}},
       Json::array({rect(-1431, 82, 4, 3)})},
      {"area missing the capture", Json{{"searchArea", {{"x", 5000}, {"y", 0}, {"width", 10}, {"height", 10}}}},
       Json::array()},
      {"zero-sized area", Json{{"searchArea", {{"x", -1400}, {"y", 30}, {"width", 0}, {"height", 10}}}}, Json::array()},
      {"missing height searches everything", Json{{"searchArea", {{"x", 5000}, {"y", 0}, {"width", 10}}}},
       Json::array({rect(-1341, 70, 3, 3), rect(-1431, 80, 4, 5)})},
      {"other colour", Json{{"color", "00ff00"}}, Json::array()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(color_regions_reply(capture, parse(c.params)), (Json{{"regions", c.regions}})) << c.name;
  }
}

TEST(ColorRegionsReply, ToleranceOnCapture) {
  RgbImage image = white(20, 20);
  fill(image, 2, 2, 5, 5, Rgb8{250, 5, 5});
  const screen::RgbCapture capture = capture_of(std::move(image));
  struct Case {
    Json tolerance;
    Json regions;
  };
  const Case cases[] = {
      {0, Json::array()},
      {10, Json::array({rect(2, 2, 5, 5)})},
      {300, Json::array({rect(0, 0, 20, 20)})},
      {2.5, Json::array()},
  };
  for (const Case& c : cases) {
    const auto parsed = read_color_region_params(Json{{"color", "#FF0000"}, {"tolerance", c.tolerance}});
    EXPECT_EQ(color_regions_reply(capture, *parsed), (Json{{"regions", c.regions}})) << c.tolerance.dump();
  }
}

TEST(ColorRectangleReply, ScreenPixelsOrZeros) {
  RgbImage image = white(120, 80);
  const Rgb8 red{255, 0, 0};
  fill(image, 5, 5, 40, 1, red), fill(image, 5, 24, 40, 1, red);
  fill(image, 5, 5, 1, 20, red), fill(image, 44, 5, 1, 20, red);
  fill(image, 60, 30, 30, 30, red);
  const screen::RgbCapture capture = capture_of(std::move(image), 1920, -0.5);
  EXPECT_EQ(color_rectangle_reply(capture, red), rect(1980, 29, 30, 30));  // round(-0.5) = -1
  // Nothing found: zeros, not the capture origin.
  EXPECT_EQ(color_rectangle_reply(capture, Rgb8{0, 0, 255}), rect(0, 0, 0, 0));
  EXPECT_EQ(color_rectangle_reply(capture_of(RgbImage()), red), rect(0, 0, 0, 0));
}

// ---- The methods on a scripted screen -------------------------------------

// A display left of the main one at scale 2: capture origin (-2880, 0).
class ColorMethods : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::DisplayRecord left;
    left.id = 3, left.x = -1440, left.y = 0, left.width = 200, left.height = 60, left.mode_pixel_width = 400;
    left.is_main = true;
    platform_.displays_fake().list = std::vector<platform::DisplayRecord>{left};
    RgbImage screen = white(400, 120);
    const Rgb8 red{255, 0, 0};
    fill(screen, 5, 5, 40, 1, red), fill(screen, 5, 24, 40, 1, red);  // 40x20 outline
    fill(screen, 5, 5, 1, 20, red), fill(screen, 44, 5, 1, 20, red);
    fill(screen, 300, 60, 30, 30, red);  // 30x30 square
    fill(screen, 100, 100, 4, 4, Rgb8{0, 0, 250});
    platform_.capture_fake().show(screen);
  }

  Json call(const char* method, const Json& params) {
    const Outcome outcome = dispatch_method(method, params, platform_);
    return outcome.ok() ? outcome.value() : Json{{"error", outcome.error()}};
  }

  testing::FakePlatform platform_;
};

TEST_F(ColorMethods, RepliesInScreenPixels) {
  EXPECT_EQ(call("find_rectangle", {{"color", "#ff0000"}}), rect(-2580, 60, 30, 30));
  EXPECT_EQ(call("find_rectangle", {{"color", "00ff00"}}), rect(0, 0, 0, 0));
  EXPECT_EQ(call("find_color_regions", {{"color", "FF0000"}}),
            (Json{{"regions", Json::array({rect(-2875, 5, 40, 20), rect(-2580, 60, 30, 30)})}}));
  EXPECT_EQ(call("find_color_regions", {{"color", "0000ff"}, {"tolerance", 5}}),
            (Json{{"regions", Json::array({rect(-2780, 100, 4, 4)})}}));
  EXPECT_EQ(call("find_color_regions",
                 {{"color", "ff0000"}, {"searchArea", {{"x", -2600}, {"y", 0}, {"width", 100}, {"height", 80}}}}),
            (Json{{"regions", Json::array({rect(-2580, 60, 30, 20)})}}));
  EXPECT_EQ(call("find_color_regions",
                 {{"color", "ff0000"}, {"searchArea", {{"x", 0}, {"y", 0}, {"width", 100}, {"height", 80}}}}),
            (Json{{"regions", Json::array()}}));
  EXPECT_EQ(platform_.capture_fake().captured_ids, (std::vector<std::uint32_t>(6, 3)));
}

TEST_F(ColorMethods, ParameterErrorsComeBeforeTheCapture) {
  for (const char* method : {"find_rectangle", "find_color_regions"}) {
    EXPECT_EQ(call(method, Json()), (Json{{"error", "bad_params: missing 'color'"}})) << method;
    EXPECT_EQ(call(method, {{"color", "#ff000"}}), (Json{{"error", "bad_params: color 'ff000' is not rrggbb"}}))
        << method;
  }
  EXPECT_TRUE(platform_.capture_fake().captured_ids.empty());
  EXPECT_EQ(platform_.capture_fake().preflight_calls, 0);
}

TEST_F(ColorMethods, CaptureErrorsPassUnchanged) {
  struct Case {
    const char* name;
    void (*setup)(testing::FakePlatform&);
  };
  const Case cases[] = {
      {"capture fails", [](testing::FakePlatform& p) { p.capture_fake().error = "capture_failed: lost the display"; }},
      {"permission refused",
       [](testing::FakePlatform& p) { p.capture_fake().preflight = false, p.capture_fake().request = false; }},
      {"no displays", [](testing::FakePlatform& p) { p.displays_fake().list = std::vector<platform::DisplayRecord>{}; }},
  };
  for (const Case& c : cases) {
    c.setup(platform_);
    const Expected<screen::RgbCapture> capture = screen::capture_display_rgb(platform_);
    ASSERT_FALSE(capture.ok()) << c.name;
    for (const char* method : {"find_rectangle", "find_color_regions"}) {
      EXPECT_EQ(call(method, {{"color", "ff0000"}}), (Json{{"error", capture.error()}})) << c.name << " " << method;
    }
  }
}

}  // namespace
}  // namespace pelagon2::input
