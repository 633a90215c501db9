// The screen methods over the wire: the real host on a private X server where
// a test client has drawn known pixels. Captures, searches and waits must see
// exactly those pixels at exactly their screen positions.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/host_process.h"
#include "testkit/png_file_reader.h"
#include "testkit/synthetic_screen.h"
#include "support/temp_tree.h"
#include "support/x11_painter.h"
#include "support/xvfb_server.h"

namespace pelagon2 {
namespace {

using testing::busiest_window;
using testing::crop;
using testing::HostProcess;
using testing::png_param;
using testing::rect_text;
using testing::X11Painter;
using testing::XvfbServer;

// Two monitors side by side, the right one primary (so captured, and listed
// first); a textured picture on it.
class TwoMonitorDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.running());
    ASSERT_EQ(testing::run_xrandr(server_.display(), {"--setmonitor", "LEFT", "1920/508x1080/286+0+0", "screen"}), 0);
    ASSERT_EQ(testing::run_xrandr(server_.display(), {"--setmonitor", "*RIGHT", "1280/338x1024/270+1920+0", "none"}),
              0);
    ASSERT_TRUE(painter_.connected());
    painter_.show(picture_, kPictureX, kPictureY);
    const auto [x, y] = busiest_window(picture_, 64);
    pattern_x_ = x;
    pattern_y_ = y;
    pattern_ = crop(picture_, x, y, 64, 64);
  }

  static constexpr int kPictureX = 1920 + 200;
  static constexpr int kPictureY = 150;
  XvfbServer server_{"3200x1080x24"};
  X11Painter painter_{server_.display()};
  vision_core::RgbImage picture_ = testing::synthetic_screen(700, 500, 21);
  vision_core::RgbImage pattern_;
  std::uint32_t pattern_x_ = 0, pattern_y_ = 0;
};

TEST_F(TwoMonitorDesktop, SearchDesktopFindsTheDrawnPatternAtItsScreenPosition) {
  HostProcess host({"DISPLAY=" + server_.display()});
  const Json reply = host.request("search_desktop", Json{{"pattern", png_param(pattern_)}}, 4);
  ASSERT_TRUE(reply.contains("result")) << to_json_text(reply);
  const Json& regions = reply["result"]["regions"];
  ASSERT_EQ(regions.size(), 1u) << to_json_text(reply);
  EXPECT_EQ(to_json_text(regions[0]["matchedRect"]),
            rect_text(kPictureX + pattern_x_, kPictureY + pattern_y_, 64, 64));
  EXPECT_EQ(to_json_text(regions[0]["score"]), "1.0");

  // A search area in screen pixels around the pattern, and the capture saved.
  testing::TempTree tree;
  const std::string path = tree.path() + "/desk.png";
  const Json options{{"limitSearchArea", true},
                     {"searchArea", Json{{"x", kPictureX + pattern_x_ - 10}, {"y", kPictureY + pattern_y_ - 10},
                                         {"width", 84}, {"height", 84}}},
                     {"saveCaptureOnDisk", true},
                     {"capturePath", path}};
  const Json limited = host.request("search_desktop", Json{{"pattern", png_param(pattern_)}, {"options", options}});
  ASSERT_TRUE(limited.contains("result")) << to_json_text(limited);
  EXPECT_EQ(limited["result"]["capturePath"], path);
  ASSERT_EQ(limited["result"]["regions"].size(), 1u);
  EXPECT_EQ(to_json_text(limited["result"]["regions"][0]["matchedRect"]),
            rect_text(kPictureX + pattern_x_, kPictureY + pattern_y_, 64, 64));
  const std::optional<testing::PngFile> png = testing::read_png_file(path);
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->width, 1280u);
  EXPECT_EQ(png->height, 1024u);
  EXPECT_EQ(png->color_type, PNG_COLOR_TYPE_RGB);
  EXPECT_EQ(png->ppm_x, 3780u);
  vision_core::RgbImage saved(png->width, png->height);
  saved.pixels = png->pixels;
  EXPECT_EQ(crop(saved, kPictureX - 1920, kPictureY, picture_.width, picture_.height).pixels, picture_.pixels);

  // An area away from the pattern finds nothing.
  const Json elsewhere{{"limitSearchArea", true},
                       {"searchArea", Json{{"x", 1920}, {"y", 700}, {"width", 300}, {"height", 300}}}};
  EXPECT_EQ(to_json_text(host.request("search_desktop", Json{{"pattern", png_param(pattern_)}, {"options", elsewhere}})),
            R"({"id":1,"result":{"containsGreenPinkBoxes":false,"errorCode":0,"regions":[]}})");
}

TEST_F(TwoMonitorDesktop, DisplayListAndCaptureFile) {
  testing::TempTree tree;
  HostProcess host({"DISPLAY=" + server_.display(), "TMPDIR=" + tree.path()});
  const Json list = host.request("get_display_list");
  ASSERT_TRUE(list.contains("result")) << to_json_text(list);
  ASSERT_EQ(list["result"].size(), 2u);
  const Json& right = list["result"][0];
  const Json& left = list["result"][1];
  EXPECT_EQ(right["name"], "RIGHT");
  EXPECT_EQ(to_json_text(Json{{"x", right["x"]}, {"y", right["y"]}, {"w", right["width"]}, {"h", right["height"]}}),
            R"({"h":1024,"w":1280,"x":1920,"y":0})");
  EXPECT_EQ(right["isPrimary"], true);
  EXPECT_EQ(left["name"], "LEFT");
  EXPECT_EQ(to_json_text(Json{{"x", left["x"]}, {"y", left["y"]}, {"w", left["width"]}, {"h", left["height"]}}),
            R"({"h":1080,"w":1920,"x":0,"y":0})");
  EXPECT_EQ(left["isPrimary"], false);
  EXPECT_EQ(left["scaleFactor"], 1.0);

  const Json reply = host.request("capture_desktop", Json::object(), 2);
  EXPECT_EQ(reply["result"], tree.path() + "/tidewell_desktop_capture.png") << to_json_text(reply);
  EXPECT_TRUE(testing::read_png_file(tree.path() + "/tidewell_desktop_capture.png").has_value());
  const Json named = host.request("capture_desktop", Json{{"path", tree.path() + "/c.png"}});
  EXPECT_EQ(named["result"], tree.path() + "/c.png");
  const std::optional<testing::PngFile> png = testing::read_png_file(tree.path() + "/c.png");
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->color_type, PNG_COLOR_TYPE_RGB_ALPHA);
  EXPECT_EQ(png->width, 1280u);
  EXPECT_EQ(png->height, 1024u);
  EXPECT_TRUE(png->has_phys);
  EXPECT_EQ(png->ppm_x, 3780u);
  EXPECT_EQ(png->ppm_y, 3780u);
  std::size_t wrong = 0;
  for (std::uint32_t y = 0; y < picture_.height; ++y) {
    for (std::uint32_t x = 0; x < picture_.width; ++x) {
      const std::uint8_t* want = &picture_.pixels[(std::size_t{y} * picture_.width + x) * 3];
      const std::uint8_t* got =
          &png->pixels[((std::size_t{y} + kPictureY) * png->width + (kPictureX - 1920) + x) * 4];
      wrong += got[0] != want[0] || got[1] != want[1] || got[2] != want[2] || got[3] != 255;
    }
  }
  EXPECT_EQ(wrong, 0u);
}

TEST_F(TwoMonitorDesktop, WaitForImageSeesWhatIsDrawnLater) {
  HostProcess host({"DISPLAY=" + server_.display()});
  const vision_core::RgbImage late = testing::synthetic_screen(200, 120, 77);
  const auto [lx, ly] = busiest_window(late, 48);
  const Json late_pattern = png_param(crop(late, lx, ly, 48, 48));
  {
    // Another program shows it about 400 ms after the wait began.
    const auto start = std::chrono::steady_clock::now();
    testing::DelayedPainter delayed(server_.display(), late, 1920 + 900, 600, std::chrono::milliseconds(400));
    const Json reply = host.request(
        "wait_for_image", Json{{"pattern", late_pattern}, {"timeoutMs", 10000u}, {"intervalMs", 50u}});
    const auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(reply.contains("result")) << to_json_text(reply);
    EXPECT_EQ(reply["result"]["found"], true);
    ASSERT_EQ(reply["result"]["regions"].size(), 1u);
    EXPECT_EQ(to_json_text(reply["result"]["regions"][0]["matchedRect"]),
              rect_text(1920 + 900 + lx, 600 + ly, 48, 48));
    const std::uint64_t elapsed = reply["result"]["elapsedMs"].get<std::uint64_t>();
    EXPECT_GE(elapsed, 300u);
    EXPECT_LE(std::chrono::milliseconds(elapsed), waited);
  }
  // Gone with its painter: now it never shows up.
  const Json missing = host.request("wait_for_image",
                                    Json{{"pattern", late_pattern}, {"timeoutMs", 300u}, {"intervalMs", 100u}});
  ASSERT_TRUE(missing.contains("result")) << to_json_text(missing);
  EXPECT_EQ(missing["result"]["found"], false);
  EXPECT_EQ(missing["result"]["regions"], Json::array());
  EXPECT_GE(missing["result"]["elapsedMs"].get<std::uint64_t>(), 300u);
  // The pattern that is on the screen is found at once.
  const Json present = host.request("wait_for_image", Json{{"pattern", png_param(pattern_)}, {"timeoutMs", 0u}});
  EXPECT_EQ(present["result"]["found"], true);
  EXPECT_EQ(to_json_text(present["result"]["regions"][0]["matchedRect"]),
            rect_text(kPictureX + pattern_x_, kPictureY + pattern_y_, 64, 64));
}

TEST_F(TwoMonitorDesktop, RelativeSearchOnTheScreen) {
  HostProcess host({"DISPLAY=" + server_.display()});
  const Json reply = host.request(
      "search_relative",
      Json{{"offset", Json{{"x", 64}, {"y", 0}, {"width", 30}, {"height", 20}}}, {"pattern", png_param(pattern_)}});
  ASSERT_TRUE(reply.contains("result")) << to_json_text(reply);
  ASSERT_EQ(reply["result"]["regions"].size(), 1u);
  const Json& region = reply["result"]["regions"][0];
  EXPECT_EQ(to_json_text(region["anchorRect"]), rect_text(kPictureX + pattern_x_, kPictureY + pattern_y_, 64, 64));
  EXPECT_EQ(region["matchedRect"]["x"], static_cast<double>(kPictureX + pattern_x_ + 64));
}

TEST(X11ScreenWire, WithoutAServerThereAreNoMonitors) {
  const char* old = std::getenv("DISPLAY");
  const std::string saved = old ? old : "";
  unsetenv("DISPLAY");
  HostProcess host;
  if (old) setenv("DISPLAY", saved.c_str(), 1);
  const Json pattern = png_param(testing::noise_image(8, 8, 1));
  EXPECT_EQ(to_json_text(host.request("get_display_list")), R"({"id":1,"result":[]})");
  for (const char* method : {"capture_desktop", "search_desktop", "wait_for_image"}) {
    EXPECT_EQ(to_json_text(host.request(method, Json{{"pattern", pattern}})),
              R"({"error":{"message":"capture_failed: no monitors"},"id":1})")
        << method;
  }
  EXPECT_EQ(to_json_text(host.request("get_desktop_dpi")), R"({"id":1,"result":{"dpiX":96.0,"dpiY":96.0}})");
  EXPECT_EQ(to_json_text(host.request("get_screen_backing_scale_factor")), R"({"id":1,"result":1.0})");
}

TEST(X11ScreenWire, MonitorLargerThanTheScreenCostsOnlyTheScreen) {
  XvfbServer server("800x600x24");
  ASSERT_TRUE(server.running());
  // 20000 x 20000 pixels would be 1.6 GB for each copy of a capture.
  ASSERT_EQ(testing::run_xrandr(server.display(), {"--setmonitor", "*HUGE", "20000/100x20000/100+0+0", "none"}), 0);
  X11Painter painter(server.display());
  ASSERT_TRUE(painter.connected());
  painter.fill(790, 590, 10, 10, 0, 200, 0);
  HostProcess host({"DISPLAY=" + server.display()});
  ASSERT_EQ(host.request("get_version")["result"], "2.0.2");
  // Address-space limits mean nothing under the sanitizers; the sizes below still tell.
  if (!testing::host_is_sanitized()) {
    const std::optional<std::uint64_t> mapped = testing::status_bytes(host.pid(), "VmSize");
    ASSERT_TRUE(mapped.has_value()) << "no /proc status for the host";
    constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
    ASSERT_TRUE(testing::limit_process(host.pid(), RLIMIT_AS, *mapped + 512 * kMiB)) << "cannot limit the host";
  }

  const Json list = host.request("get_display_list");
  ASSERT_TRUE(list.contains("result")) << list.dump();
  ASSERT_EQ(list["result"].size(), 2u) << list.dump();  // with the screen's own monitor
  const Json& huge = list["result"][0];
  EXPECT_EQ(huge["name"], "HUGE");
  EXPECT_EQ(to_json_text(Json{{"x", huge["x"]}, {"y", huge["y"]}, {"w", huge["width"]}, {"h", huge["height"]}}),
            R"({"h":600,"w":800,"x":0,"y":0})");

  testing::TempTree tree;
  const std::string path = tree.path() + "/huge.png";
  for (int i = 0; i < 2; ++i) {
    const Json reply = host.request("capture_desktop", Json{{"path", path}});
    ASSERT_EQ(reply["result"], path) << reply.dump();
  }
  const std::optional<testing::PngFile> png = testing::read_png_file(path);
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->width, 800u);
  EXPECT_EQ(png->height, 600u);
  const std::uint8_t* corner = &png->pixels[(std::size_t{599} * 800 + 799) * 4];
  EXPECT_EQ((std::vector<std::uint8_t>(corner, corner + 4)), (std::vector<std::uint8_t>{0, 200, 0, 255}));
  EXPECT_EQ(host.request("get_version")["result"], "2.0.2");
}

TEST(X11ScreenWire, ServerVanishingMidSessionLeavesTheHostAnswering) {
  XvfbServer server("1024x768x24");
  ASSERT_TRUE(server.running());
  HostProcess host({"DISPLAY=" + server.display()});
  const Json pattern = png_param(testing::noise_image(16, 16, 3));
  EXPECT_EQ(host.request("get_display_list")["result"].size(), 1u);

  // Gone while a wait is capturing again and again.
  ASSERT_TRUE(host.send_frame(to_json_text(Json{
      {"id", 9}, {"method", "wait_for_image"}, {"params", Json{{"pattern", pattern}, {"timeoutMs", 5000u}, {"intervalMs", 20u}}}})));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  server.stop();
  const std::optional<std::string> reply = host.read_frame(10000);
  ASSERT_TRUE(reply.has_value()) << host.last_error();
  const Json parsed = Json::parse(*reply);
  EXPECT_EQ(parsed["id"], 9);
  ASSERT_TRUE(parsed.contains("error")) << *reply;
  EXPECT_EQ(parsed["error"]["message"].get<std::string>().rfind("capture_failed: ", 0), 0u) << *reply;

  EXPECT_EQ(to_json_text(host.request("get_display_list")), R"({"id":1,"result":[]})");
  EXPECT_EQ(to_json_text(host.request("capture_desktop")),
            R"({"error":{"message":"capture_failed: no monitors"},"id":1})");
  EXPECT_EQ(to_json_text(host.request("get_version")), R"({"id":1,"result":"2.0.2"})");

  // A new server on the same display number (a session restarting X), of
  // another size, while the host still holds what it knew of the old one.
  if (!server.restart("800x600x24")) {
    if (server.number_taken()) GTEST_SKIP() << "a server of another test took the display number meanwhile";
    FAIL() << "no new server on " << server.display();
  }
  const Json list = host.request("get_display_list");
  ASSERT_EQ(list["result"].size(), 1u) << list.dump();
  EXPECT_EQ(list["result"][0]["width"], 800);
  for (int i = 0; i < 3; ++i) {
    const Json wait = host.request("wait_for_image", Json{{"pattern", pattern}, {"timeoutMs", 60u}, {"intervalMs", 20u}});
    EXPECT_EQ(wait["result"]["regions"].size(), 0u) << wait.dump();
  }
}

}  // namespace
}  // namespace pelagon2
