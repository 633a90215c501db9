// The X11 displays and capture against private X servers, with real clients
// drawing known pixels: monitors as displays, exact capture pixels over
// shared memory and without it, other pixel depths, clipped monitors, and
// servers that are missing or vanish.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_displays.h"

#include <X11/Xatom.h>

#include <cstdlib>
#include <map>
#include <string>

#include "cv/displays.h"
#include "cv/screen_capture.h"
#include "main/request_handler.h"
#include "screen/capture.h"
#include "testkit/synthetic_screen.h"
#include "support/x11_painter.h"
#include "support/xvfb_server.h"

namespace pelagon2::platform::x11 {
namespace {

using testing::X11Painter;
using testing::XvfbServer;

using testing::ScopedDisplayEnv;

std::string reply(Platform& platform, const char* method, const Json& params = Json::object()) {
  const Outcome outcome = dispatch_method(method, params, platform);
  return outcome.ok() ? to_json_text(*outcome) : "error: " + outcome.error();
}

// Pixels of `capture` (RGBA) in the rectangle equal `image` shown at (x, y).
::testing::AssertionResult shows(const screen::CaptureRecord& capture, const vision_core::RgbImage& image, std::uint32_t x,
                                 std::uint32_t y) {
  if (x + image.width > capture.width || y + image.height > capture.height) {
    return ::testing::AssertionFailure() << "image outside the capture";
  }
  for (std::uint32_t row = 0; row < image.height; ++row) {
    for (std::uint32_t col = 0; col < image.width; ++col) {
      const std::uint8_t* want = &image.pixels[(std::size_t{row} * image.width + col) * 3];
      const std::uint8_t* got = &capture.pixels[((std::size_t{y} + row) * capture.width + x + col) * 4];
      if (got[0] != want[0] || got[1] != want[1] || got[2] != want[2] || got[3] != 255) {
        return ::testing::AssertionFailure() << "pixel (" << col << "," << row << ") is " << int{got[0]} << ","
                                             << int{got[1]} << "," << int{got[2]} << "," << int{got[3]}
                                             << " instead of " << int{want[0]} << "," << int{want[1]} << ","
                                             << int{want[2]};
      }
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(X11Screen, OneScreenIsOneMainDisplayNamedAfterItsMonitor) {
  XvfbServer server("1280x800x24");
  ASSERT_TRUE(server.running());
  ScopedDisplayEnv env(server.display().c_str());
  const std::unique_ptr<Platform> platform = create_platform();
  const Expected<std::vector<DisplayRecord>> list = platform->displays->active_displays();
  ASSERT_TRUE(list.ok());
  ASSERT_EQ(list->size(), 1u);
  const DisplayRecord& d = (*list)[0];
  EXPECT_EQ(d.x, 0);
  EXPECT_EQ(d.width, 1280);
  EXPECT_EQ(d.height, 800);
  EXPECT_TRUE(d.is_main);
  EXPECT_NE(d.id, 0u);
  EXPECT_EQ(reply(*platform, "get_display_list"),
            R"([{"dpi":96.0,"height":800,"id":)" + std::to_string(d.id) +
                R"(,"isPrimary":true,"name":"screen","physicalHeight":800,"physicalWidth":1280,"scaleFactor":1.0,)"
                R"("width":1280,"x":0,"y":0}])");
  EXPECT_EQ(reply(*platform, "get_desktop_dpi"), R"({"dpiX":96.0,"dpiY":96.0})");
  EXPECT_EQ(reply(*platform, "get_screen_backing_scale_factor"), "1.0");
}

TEST(X11Screen, WithoutRandrTheRootIsTheOneDisplay) {
  XvfbServer server("640x480x24", {"-extension", "RANDR"});
  ASSERT_TRUE(server.running());
  ScopedDisplayEnv env(server.display().c_str());
  X11Painter painter(server.display());
  ASSERT_TRUE(painter.connected());
  painter.fill(630, 470, 10, 10, 0, 0, 250);
  const std::unique_ptr<Platform> platform = create_platform();
  const Expected<std::vector<DisplayRecord>> list = platform->displays->active_displays();
  ASSERT_TRUE(list.ok());
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ((*list)[0].id, static_cast<std::uint32_t>(DefaultRootWindow(painter.display())));
  EXPECT_EQ((*list)[0].width, 640);
  EXPECT_EQ((*list)[0].height, 480);
  EXPECT_TRUE((*list)[0].is_main);
  EXPECT_TRUE(platform->displays->screens().empty());
  const Expected<screen::CaptureRecord> capture = screen::capture_display(*platform);
  ASSERT_TRUE(capture.ok()) << capture.error();
  vision_core::RgbImage blue(10, 10);
  testing::fill_rect(blue, 0, 0, 10, 10, 0, 0, 250);
  EXPECT_TRUE(shows(*capture, blue, 630, 470));
}

TEST(X11Screen, MonitorsMadeWithXrandrAreListedInServerOrder) {
  XvfbServer server("3200x1080x24");
  ASSERT_TRUE(server.running());
  ASSERT_EQ(testing::run_xrandr(server.display(), {"--setmonitor", "LEFT", "1920/508x1080/286+0+0", "screen"}), 0);
  ASSERT_EQ(testing::run_xrandr(server.display(), {"--setmonitor", "*RIGHT", "1280/338x1024/270+1920+0", "none"}), 0);
  ScopedDisplayEnv env(server.display().c_str());
  const std::unique_ptr<Platform> platform = create_platform();
  const Expected<std::vector<DisplayRecord>> list = platform->displays->active_displays();
  ASSERT_TRUE(list.ok());
  ASSERT_EQ(list->size(), 2u);

  // The server lists the primary monitor first. The monitor without outputs
  // is known by its name atom, the other by its output.
  X11Painter painter(server.display());
  ASSERT_TRUE(painter.connected());
  const Atom right_atom = XInternAtom(painter.display(), "RIGHT", True);
  EXPECT_EQ((*list)[0].id, static_cast<std::uint32_t>(right_atom));
  EXPECT_NE((*list)[1].id, static_cast<std::uint32_t>(XInternAtom(painter.display(), "LEFT", True)));
  const std::string left_id = std::to_string((*list)[1].id);
  const std::string right_id = std::to_string(right_atom);
  EXPECT_EQ(reply(*platform, "get_display_list"),
            R"([{"dpi":96.0,"height":1024,"id":)" + right_id +
                R"(,"isPrimary":true,"name":"RIGHT","physicalHeight":1024,"physicalWidth":1280,"scaleFactor":1.0,)"
                R"("width":1280,"x":1920,"y":0},)"
                R"({"dpi":96.0,"height":1080,"id":)" + left_id +
                R"(,"isPrimary":false,"name":"LEFT","physicalHeight":1080,"physicalWidth":1920,"scaleFactor":1.0,)"
                R"("width":1920,"x":0,"y":0}])");

  // Without a browser the capture is of the primary monitor, at its place.
  const vision_core::RgbImage marks = testing::noise_image(40, 30, 5);
  painter.show(marks, 1920 + 100, 200);
  painter.fill(1900, 10, 40, 10, 255, 0, 0);  // across the boundary
  const Expected<screen::CaptureRecord> capture = screen::capture_display(*platform);
  ASSERT_TRUE(capture.ok()) << capture.error();
  EXPECT_EQ(capture->width, 1280u);
  EXPECT_EQ(capture->height, 1024u);
  EXPECT_EQ(capture->display_id, static_cast<std::uint32_t>(right_atom));
  EXPECT_EQ(capture->origin_x, 1920);
  EXPECT_TRUE(shows(*capture, marks, 100, 200));
  vision_core::RgbImage red(20, 10);
  testing::fill_rect(red, 0, 0, 20, 10, 255, 0, 0);
  EXPECT_TRUE(shows(*capture, red, 0, 10));  // only the right half of the block

  // Monitors are asked for afresh: a removed one is gone at the next request.
  ASSERT_EQ(testing::run_xrandr(server.display(), {"--delmonitor", "RIGHT"}), 0);
  const Expected<std::vector<DisplayRecord>> after = platform->displays->active_displays();
  ASSERT_TRUE(after.ok());
  ASSERT_EQ(after->size(), 1u);
  EXPECT_TRUE((*after)[0].is_main);
  EXPECT_EQ((*after)[0].width, 1920);
}

TEST(X11Screen, CapturesExactPixelsWithAndWithoutSharedMemory) {
  for (const bool shm : {true, false}) {
    SCOPED_TRACE(shm ? "MIT-SHM" : "no MIT-SHM");
    XvfbServer server("1024x768x24", shm ? std::vector<std::string>{} : std::vector<std::string>{"-extension", "MIT-SHM"});
    ASSERT_TRUE(server.running());
    ScopedDisplayEnv env(server.display().c_str());
    X11Painter painter(server.display());
    ASSERT_TRUE(painter.connected());
    const vision_core::RgbImage picture = testing::synthetic_screen(300, 200, 8);
    painter.show(picture, 17, 33);
    vision_core::RgbImage blocks(60, 20);
    testing::fill_rect(blocks, 0, 0, 20, 20, 255, 0, 0);
    testing::fill_rect(blocks, 20, 0, 20, 20, 0, 255, 0);
    testing::fill_rect(blocks, 40, 0, 20, 20, 0, 0, 255);
    painter.show(blocks, 1024 - 60, 768 - 20);  // the far corner

    const std::unique_ptr<Platform> platform = create_platform();
    for (int round = 0; round < 3; ++round) {  // the segment is reused, the picture is not
      const Expected<screen::CaptureRecord> capture = screen::capture_display(*platform);
      ASSERT_TRUE(capture.ok()) << capture.error();
      EXPECT_EQ(capture->width, 1024u);
      EXPECT_EQ(capture->height, 768u);
      EXPECT_TRUE(shows(*capture, picture, 17, 33));
      EXPECT_TRUE(shows(*capture, blocks, 1024 - 60, 768 - 20));
      const Expected<screen::RgbCapture> rgb = screen::capture_display_rgb(*platform);
      ASSERT_TRUE(rgb.ok()) << rgb.error();
      EXPECT_EQ(rgb->dpi, 96.0);
      EXPECT_EQ(testing::crop(rgb->image, 17, 33, 300, 200).pixels, picture.pixels);
      // Something new on the screen shows in the next capture.
      painter.fill(500, 500 + round * 30, 10, 10, 0, static_cast<std::uint8_t>(100 + round), 0);
      const Expected<screen::CaptureRecord> again = screen::capture_display(*platform);
      ASSERT_TRUE(again.ok());
      vision_core::RgbImage green(10, 10);
      testing::fill_rect(green, 0, 0, 10, 10, 0, static_cast<std::uint8_t>(100 + round), 0);
      EXPECT_TRUE(shows(*again, green, 500, 500 + static_cast<std::uint32_t>(round) * 30));
    }
  }
}

TEST(X11Screen, SixteenBitScreensAreConverted) {
  XvfbServer server("640x480x16");
  ASSERT_TRUE(server.running());
  ScopedDisplayEnv env(server.display().c_str());
  X11Painter painter(server.display());
  ASSERT_TRUE(painter.connected());
  // Values that 5 and 6 bits hold exactly once scaled back to 8 bits.
  vision_core::RgbImage blocks(30, 10);
  testing::fill_rect(blocks, 0, 0, 10, 10, 255, 0, 0);
  testing::fill_rect(blocks, 10, 0, 10, 10, 0, 255, 255);
  testing::fill_rect(blocks, 20, 0, 10, 10, 255, 255, 255);
  painter.show(blocks, 300, 200);
  const std::unique_ptr<Platform> platform = create_platform();
  const Expected<screen::CaptureRecord> capture = screen::capture_display(*platform);
  ASSERT_TRUE(capture.ok()) << capture.error();
  EXPECT_TRUE(shows(*capture, blocks, 300, 200));
}

TEST(X11Screen, MonitorsAreClippedToTheScreen) {
  XvfbServer server("800x600x24");
  ASSERT_TRUE(server.running());
  // Any client may declare monitors beyond the screen; only the screen's pixels exist.
  ASSERT_EQ(testing::run_xrandr(server.display(), {"--setmonitor", "*EDGE", "400/100x300/75+600+450", "none"}), 0);
  ASSERT_EQ(testing::run_xrandr(server.display(), {"--setmonitor", "HUGE", "20000/100x20000/100+0+0", "none"}), 0);
  ASSERT_EQ(testing::run_xrandr(server.display(), {"--setmonitor", "AWAY", "100/10x100/10+900+0", "none"}), 0);
  ScopedDisplayEnv env(server.display().c_str());
  X11Painter painter(server.display());
  ASSERT_TRUE(painter.connected());
  painter.fill(600, 450, 200, 150, 10, 20, 30);
  const std::unique_ptr<Platform> platform = create_platform();

  const Json list = Json::parse(reply(*platform, "get_display_list"));
  std::map<std::string, std::string> bounds;
  for (const Json& d : list) {
    bounds[d["name"].get<std::string>()] = to_json_text(Json{{"x", d["x"]}, {"y", d["y"]}, {"w", d["width"]},
                                                             {"h", d["height"]}, {"pw", d["physicalWidth"]}});
  }
  EXPECT_EQ(bounds.count("AWAY"), 0u) << list.dump();  // wholly off the screen
  EXPECT_EQ(bounds["EDGE"], R"({"h":150,"pw":200,"w":200,"x":600,"y":450})") << list.dump();
  EXPECT_EQ(bounds["HUGE"], R"({"h":600,"pw":800,"w":800,"x":0,"y":0})") << list.dump();
  EXPECT_EQ(list.size(), 3u) << list.dump();  // with the screen's own monitor

  // The primary monitor is captured: its part on the screen, nothing more.
  const Expected<screen::CaptureRecord> capture = screen::capture_display(*platform);
  ASSERT_TRUE(capture.ok()) << capture.error();
  ASSERT_EQ(capture->width, 200u);
  ASSERT_EQ(capture->height, 150u);
  EXPECT_EQ(capture->origin_x, 600);
  EXPECT_EQ(capture->origin_y, 450);
  vision_core::RgbImage on_screen(200, 150);
  testing::fill_rect(on_screen, 0, 0, 200, 150, 10, 20, 30);
  EXPECT_TRUE(shows(*capture, on_screen, 0, 0));

  // The huge one, as listed, is read as the whole screen.
  const Expected<std::vector<DisplayRecord>> displays = platform->displays->active_displays();
  ASSERT_TRUE(displays.ok());
  for (const DisplayRecord& d : *displays) {
    const Expected<RawCapture> raw = platform->capture->capture(d);
    ASSERT_TRUE(raw.ok()) << raw.error();
    EXPECT_EQ(raw->width, static_cast<std::uint32_t>(d.width));
    EXPECT_EQ(raw->height, static_cast<std::uint32_t>(d.height));
    EXPECT_LE(raw->bytes.size(), std::size_t{800} * 600 * 4);
  }
  // A record from before the screen shrank (here: made up) is read only where the screen is.
  DisplayRecord beyond;
  beyond.x = 700;
  beyond.y = 500;
  beyond.width = 20000;
  beyond.height = 20000;
  const Expected<RawCapture> cut = platform->capture->capture(beyond);
  ASSERT_TRUE(cut.ok()) << cut.error();
  EXPECT_EQ(cut->width, 100u);
  EXPECT_EQ(cut->height, 100u);
  beyond.x = 800;
  EXPECT_EQ(platform->capture->capture(beyond).error(), "the display lies outside the X screen");
}

TEST(X11Screen, CaptureFollowsDisplayChangesAndOutlivesLostServers) {
  // One backend for the whole test, as in the host: its kept segment and
  // server attachment must never show one server's pixels for another's.
  const std::unique_ptr<Platform> platform = create_platform();
  XvfbServer first("640x480x24");
  XvfbServer second("640x480x24");
  ASSERT_TRUE(first.running());
  ASSERT_TRUE(second.running());
  X11Painter first_painter(first.display());
  X11Painter second_painter(second.display());
  first_painter.fill(0, 0, 640, 480, 200, 10, 10);
  second_painter.fill(0, 0, 640, 480, 10, 10, 200);
  vision_core::RgbImage red(640, 480), blue(640, 480);
  testing::fill_rect(red, 0, 0, 640, 480, 200, 10, 10);
  testing::fill_rect(blue, 0, 0, 640, 480, 10, 10, 200);
  {
    ScopedDisplayEnv env(first.display().c_str());
    const Expected<screen::CaptureRecord> capture = screen::capture_display(*platform);
    ASSERT_TRUE(capture.ok()) << capture.error();
    EXPECT_TRUE(shows(*capture, red, 0, 0));
  }
  {
    ScopedDisplayEnv env(second.display().c_str());
    const Expected<screen::CaptureRecord> capture = screen::capture_display(*platform);
    ASSERT_TRUE(capture.ok()) << capture.error();
    EXPECT_TRUE(shows(*capture, blue, 0, 0));
  }
  // The server the backend last attached to goes away between requests.
  second.stop();
  {
    ScopedDisplayEnv env(first.display().c_str());
    const Expected<screen::CaptureRecord> capture = screen::capture_display(*platform);
    ASSERT_TRUE(capture.ok()) << capture.error();
    EXPECT_TRUE(shows(*capture, red, 0, 0));
    first_painter.fill(0, 0, 640, 480, 10, 200, 10);
    vision_core::RgbImage green(640, 480);
    testing::fill_rect(green, 0, 0, 640, 480, 10, 200, 10);
    const Expected<screen::CaptureRecord> again = screen::capture_display(*platform);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_TRUE(shows(*again, green, 0, 0));
  }
}

TEST(X11Screen, NoServerMeansNoMonitors) {
  for (const char* value : {static_cast<const char*>(nullptr), "", ":9999"}) {
    SCOPED_TRACE(value ? value : "(unset)");
    ScopedDisplayEnv env(value);
    const std::unique_ptr<Platform> platform = create_platform();
    EXPECT_EQ(reply(*platform, "get_display_list"), "[]");
    EXPECT_EQ(reply(*platform, "capture_desktop", Json{{"path", "/nonexistent/x.png"}}),
              "error: capture_failed: no monitors");
    EXPECT_EQ(reply(*platform, "get_desktop_dpi"), R"({"dpiX":96.0,"dpiY":96.0})");
    EXPECT_EQ(reply(*platform, "get_screen_backing_scale_factor"), "1.0");
  }
}

TEST(X11Screen, VanishedServerFailsTheCaptureNotTheProcess) {
  XvfbServer server("640x480x24");
  ASSERT_TRUE(server.running());
  ScopedDisplayEnv env(server.display().c_str());
  const std::unique_ptr<Platform> platform = create_platform();
  const Expected<std::vector<DisplayRecord>> list = platform->displays->active_displays();
  ASSERT_TRUE(list.ok());
  ASSERT_EQ(list->size(), 1u);
  ASSERT_TRUE(screen::capture_display(*platform).ok());
  server.stop();
  // The display record of before, captured now that the server is gone.
  const Expected<RawCapture> raw = platform->capture->capture((*list)[0]);
  EXPECT_FALSE(raw.ok());
  EXPECT_EQ(reply(*platform, "get_display_list"), "[]");
  EXPECT_EQ(reply(*platform, "capture_desktop", Json{{"path", "/nonexistent/x.png"}}),
            "error: capture_failed: no monitors");
}

}  // namespace
}  // namespace pelagon2::platform::x11
