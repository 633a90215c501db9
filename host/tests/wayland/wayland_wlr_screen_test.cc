// The screen methods over the wire on headless sway, with the GTK client's
// fullscreen window as the picture: the display list at scale 1 and 2 (and
// two outputs), captures with the client's colours at their pixel places,
// searches, waits and colour regions finding them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/sway_session.h"
#include "support/temp_tree.h"
#include "support/wayland_gtk_client.h"
#include "testkit/png_file_reader.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2 {
namespace {

using testing::GtkEventsClient;
using testing::HostProcess;
using testing::kBlueBlock;
using testing::kRedBlock;
using testing::SwayOutput;
using testing::SwaySession;

#define REQUIRE_SWAY()                                                           \
  do {                                                                           \
    if (!SwaySession::available()) GTEST_SKIP() << "sway or setpriv missing";    \
    if (!GtkEventsClient::available()) GTEST_SKIP() << "/usr/bin/python3 missing"; \
  } while (false)

std::vector<std::string> host_env(const SwaySession& sway, const testing::TempTree& tree) {
  std::vector<std::string> env = sway.client_env();
  env.push_back("TMPDIR=" + tree.path());
  return env;
}

Json bounds(const Json& display) {
  return Json{{"x", display["x"]}, {"y", display["y"]}, {"w", display["width"]}, {"h", display["height"]}};
}

// The pixel at (x, y) of an RGBA capture as "r,g,b,a".
std::string pixel(const testing::PngFile& png, std::uint32_t x, std::uint32_t y) {
  const std::uint8_t* p = &png.pixels[(std::size_t{y} * png.width + x) * 4];
  return std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) + "," + std::to_string(p[3]);
}

// Pixels of `png` inside `block` (scaled) that are not its colour, and pixels
// just outside it that are.
std::pair<std::size_t, std::size_t> block_errors(const testing::PngFile& png, const testing::Block& block, int scale) {
  std::size_t inside = 0, outside = 0;
  const std::string colour = std::to_string(block.r) + "," + std::to_string(block.g) + "," + std::to_string(block.b) + ",255";
  const int x0 = block.x * scale, y0 = block.y * scale, x1 = x0 + block.width * scale, y1 = y0 + block.height * scale;
  for (int y = y0 - 2; y < y1 + 2; ++y) {
    for (int x = x0 - 2; x < x1 + 2; ++x) {
      const bool in = x >= x0 && x < x1 && y >= y0 && y < y1;
      const bool is = pixel(png, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)) == colour;
      inside += in && !is;
      outside += !in && is;
    }
  }
  return {inside, outside};
}

struct ScaleCase {
  double scale;
  int pixel_width, pixel_height;
};

class WlrScreenAtScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(WlrScreenAtScale, DisplayListAndCapturePixels) {
  REQUIRE_SWAY();
  const ScaleCase c = GetParam();
  SwaySession sway({SwayOutput{c.pixel_width, c.pixel_height, c.scale}});
  ASSERT_TRUE(sway.ready());
  GtkEventsClient gtk(sway.client_env());
  ASSERT_TRUE(gtk.ready());
  testing::TempTree tree;
  HostProcess host(host_env(sway, tree));

  const Json list = host.request("get_display_list");
  ASSERT_TRUE(list.contains("result")) << to_json_text(list);
  ASSERT_EQ(list["result"].size(), 1u) << to_json_text(list);
  const Json& d = list["result"][0];
  EXPECT_EQ(d["name"], "HEADLESS-1");
  const int points_w = static_cast<int>(c.pixel_width / c.scale), points_h = static_cast<int>(c.pixel_height / c.scale);
  EXPECT_EQ(to_json_text(bounds(d)), to_json_text(Json{{"x", 0}, {"y", 0}, {"w", points_w}, {"h", points_h}}));
  EXPECT_EQ(d["isPrimary"], true);
  EXPECT_EQ(d["scaleFactor"].get<double>(), c.scale) << to_json_text(d);
  EXPECT_EQ(host.request("get_screen_backing_scale_factor")["result"].get<double>(), c.scale);

  const std::string path = tree.path() + "/c.png";
  const Json reply = host.request("capture_desktop", Json{{"path", path}});
  ASSERT_EQ(reply["result"], path) << to_json_text(reply);
  const std::optional<testing::PngFile> png = testing::read_png_file(path);
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->width, static_cast<std::uint32_t>(c.pixel_width));
  EXPECT_EQ(png->height, static_cast<std::uint32_t>(c.pixel_height));
  const int s = static_cast<int>(c.scale);
  for (const testing::Block& block : {kRedBlock, kBlueBlock}) {
    const auto [inside, outside] = block_errors(*png, block, s);
    EXPECT_EQ(inside, 0u) << "block at " << block.x;
    EXPECT_EQ(outside, 0u) << "block at " << block.x;
  }
  EXPECT_EQ(pixel(*png, 0, 0), "255,255,255,255");
}

INSTANTIATE_TEST_SUITE_P(Scales, WlrScreenAtScale,
                         ::testing::Values(ScaleCase{1, 1280, 800}, ScaleCase{2, 1280, 800}),
                         [](const ::testing::TestParamInfo<ScaleCase>& p) { return "scale" + std::to_string(static_cast<int>(p.param.scale)); });

// A white-and-red corner of the red block: found only there.
vision_core::RgbImage red_corner(int scale) {
  const auto size = static_cast<std::uint32_t>(40 * scale), half = size / 2;
  vision_core::RgbImage image(size, size);
  for (std::uint32_t y = 0; y < size; ++y) {
    for (std::uint32_t x = 0; x < size; ++x) {
      std::uint8_t* p = &image.pixels[(std::size_t{y} * size + x) * 3];
      const bool red = x >= half && y >= half;
      p[0] = 255, p[1] = red ? 0 : 255, p[2] = red ? 0 : 255;
    }
  }
  return image;
}

TEST(WlrScreen, SearchWaitAndColourRegionsFindTheClientsBlocks) {
  REQUIRE_SWAY();
  SwaySession sway;
  ASSERT_TRUE(sway.ready());
  GtkEventsClient gtk(sway.client_env());
  ASSERT_TRUE(gtk.ready());
  testing::TempTree tree;
  HostProcess host(host_env(sway, tree));

  const Json pattern = testing::png_param(red_corner(1));
  const Json found = host.request("search_desktop", Json{{"pattern", pattern}});
  ASSERT_TRUE(found.contains("result")) << to_json_text(found);
  ASSERT_EQ(found["result"]["regions"].size(), 1u) << to_json_text(found);
  EXPECT_EQ(to_json_text(found["result"]["regions"][0]["matchedRect"]), testing::rect_text(80, 80, 40, 40));

  const Json waited = host.request("wait_for_image", Json{{"pattern", pattern}, {"timeoutMs", 2000u}});
  ASSERT_TRUE(waited.contains("result")) << to_json_text(waited);
  EXPECT_NE(to_json_text(waited).find(testing::rect_text(80, 80, 40, 40)), std::string::npos) << to_json_text(waited);

  const Json red = host.request("find_rectangle", Json{{"color", "#FF0000"}});
  EXPECT_EQ(red["result"], (Json{{"height", 100}, {"width", 200}, {"x", 100}, {"y", 100}})) << to_json_text(red);
  const Json blue = host.request("find_color_regions", Json{{"color", "0000ff"}});
  ASSERT_TRUE(blue.contains("result")) << to_json_text(blue);
  EXPECT_NE(to_json_text(blue).find(R"({"height":100,"width":100,"x":400,"y":100})"), std::string::npos)
      << to_json_text(blue);
}

TEST(WlrScreen, TwoOutputsSideBySide) {
  REQUIRE_SWAY();
  SwaySession sway({SwayOutput{1280, 800, 1}, SwayOutput{1024, 768, 2}});
  ASSERT_TRUE(sway.ready());
  testing::TempTree tree;
  HostProcess host(host_env(sway, tree));
  const Json list = host.request("get_display_list");
  ASSERT_TRUE(list.contains("result")) << to_json_text(list);
  ASSERT_EQ(list["result"].size(), 2u) << to_json_text(list);
  std::vector<std::string> seen;
  for (const Json& d : list["result"]) {
    seen.push_back(d["name"].get<std::string>() + " " + to_json_text(bounds(d)) + " " +
                   std::to_string(d["scaleFactor"].get<double>()));
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{R"(HEADLESS-1 {"h":800,"w":1280,"x":0,"y":0} 1.000000)",
                                            R"(HEADLESS-2 {"h":384,"w":512,"x":1280,"y":0} 2.000000)"}));
}

}  // namespace
}  // namespace pelagon2
