// find_rectangle and find_color_regions over the wire on a private X server:
// shapes drawn by real clients come back at their exact screen positions, on
// the monitor that holds the browser window.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/temp_tree.h"
#include "support/x11_painter.h"
#include "support/x_clients.h"
#include "support/xvfb_server.h"

namespace pelagon2 {
namespace {

using testing::HostProcess;
using testing::WindowClient;
using testing::XvfbServer;

Json rect(long x, long y, long w, long h) { return Json{{"height", h}, {"width", w}, {"x", x}, {"y", y}}; }

class ColorWire : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.running()); }

  std::unique_ptr<WindowClient> window(const std::string& program, std::vector<std::string> args) {
    auto client = std::make_unique<WindowClient>(program, server_.display(), std::move(args));
    EXPECT_TRUE(client->ready()) << program;
    return client;
  }

  Json result(HostProcess& host, const char* method, const Json& params) {
    const Json reply = host.request(method, params);
    EXPECT_TRUE(reply.contains("result")) << method << " " << reply.dump();
    return reply.value("result", Json());
  }

  XvfbServer server_{"1280x800x24"};
  testing::TempTree tree_;
};

TEST_F(ColorWire, ShapesAtTheirScreenPositions) {
  // A white window at (50, 40) with a 40x20 red outline, a 30x30 red square
  // and a small blue block inside.
  auto canvas = window(PELAGON2_WINDOW_CLIENT_PATH,
                       {"--geometry", "50,40,900,600", "--override-redirect", "--fill", "ffffff", "--rect",
                        "ff0000,100,100,40,20,outline", "--rect", "ff0000,400,300,30,30", "--rect",
                        "0000fa,700,500,2,2", "--rect", "0000ff,600,20,5,4"});
  HostProcess host({"DISPLAY=" + server_.display()});
  EXPECT_EQ(result(host, "find_rectangle", {{"color", "#FF0000"}}), rect(450, 340, 30, 30));
  EXPECT_EQ(result(host, "find_rectangle", {{"color", "00ff00"}}), rect(0, 0, 0, 0));
  EXPECT_EQ(result(host, "find_color_regions", {{"color", "ff0000"}}),
            (Json{{"regions", Json::array({rect(150, 140, 40, 20), rect(450, 340, 30, 30)})}}));
  EXPECT_EQ(result(host, "find_color_regions", {{"color", "0000ff"}, {"tolerance", 5}, {"minWidth", 2}, {"minHeight", 2}}),
            (Json{{"regions", Json::array({rect(650, 60, 5, 4), rect(750, 540, 2, 2)})}}));
  EXPECT_EQ(result(host, "find_color_regions",
                   {{"color", "ff0000"}, {"searchArea", {{"x", 440}, {"y", 330}, {"width", 25}, {"height", 500}}}}),
            (Json{{"regions", Json::array({rect(450, 340, 15, 30)})}}));
}

// Two monitors side by side; the browser window on the right one makes it the
// capture target, so only its shapes are found, in screen pixels.
TEST_F(ColorWire, BrowserWindowChoosesTheMonitor) {
  ASSERT_EQ(testing::run_xrandr(server_.display(), {"--setmonitor", "LEFT", "640/169x800/212+0+0", "screen"}), 0);
  ASSERT_EQ(testing::run_xrandr(server_.display(), {"--setmonitor", "RIGHT", "640/169x800/212+640+0", "none"}), 0);
  HostProcess host({"DISPLAY=" + server_.display()});
  const Json displays = result(host, "get_display_list", Json());
  ASSERT_EQ(displays.dump().find("RIGHT") != std::string::npos, true) << displays.dump();

  // A big square on the left monitor, in a window of no browser.
  auto left = window(PELAGON2_WINDOW_CLIENT_PATH, {"--geometry", "20,20,400,400", "--fill", "ffffff", "--rect",
                                                   "ff0000,50,50,100,100"});
  const std::string browser = testing::copy_program(PELAGON2_WINDOW_CLIENT_PATH, tree_.path(), "chromium");
  ASSERT_FALSE(browser.empty());
  // Without a browser the main (first) monitor is captured.
  EXPECT_EQ(result(host, "find_rectangle", {{"color", "ff0000"}}), rect(70, 70, 100, 100));

  auto right = window(browser, {"--geometry", "700,100,500,400", "--fill", "ffffff", "--rect", "ff0000,200,150,30,30"});
  EXPECT_EQ(result(host, "get_active_browser_outer_rect", Json()), rect(700, 100, 500, 400));
  EXPECT_EQ(result(host, "find_rectangle", {{"color", "ff0000"}}), rect(900, 250, 30, 30));
  EXPECT_EQ(result(host, "find_color_regions", {{"color", "ff0000"}}),
            (Json{{"regions", Json::array({rect(900, 250, 30, 30)})}}));
}

}  // namespace
}  // namespace pelagon2
