// The desktop as a real Chromium's extension drives it through the host: the
// browser's window on a private X server with two monitors, under a window
// manager; a page of ours to find, click, type into and read.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "browser/browser_session.h"
#include "support/x11_painter.h"
#include "support/x_clients.h"
#include "support/x_observer.h"
#include "support/xvfb_server.h"
#include "testkit/png_file_reader.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2::testing {
namespace {

// Two monitors side by side, the left one primary.
class BrowserDesktopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }

  // Where the browser opens its window; the left monitor unless a test says.
  virtual std::string window_position() const { return "120,90"; }

  void SetUp() override {
    if (!chromium_available()) GTEST_SKIP() << "no Chromium at " << chromium_executable();
    ASSERT_TRUE(server_.running());
    ASSERT_EQ(run_xrandr(server_.display(), {"--setmonitor", "*LEFT", "1280/338x900/238+0+0", "screen"}), 0);
    ASSERT_EQ(run_xrandr(server_.display(), {"--setmonitor", "RIGHT", "1280/338x900/238+1280+0", "none"}), 0);
    observer_ = std::make_unique<XObserver>(server_.display());
    ASSERT_TRUE(observer_->ok());
    wm_ = std::make_unique<WindowManager>(server_.display(), home_.path());
    ASSERT_TRUE(wm_->started());
    ASSERT_TRUE(observer_->manager_running());

    BrowserOptions options;
    options.display = server_.display();
    // The window manager draws the frame, as on most desktops.
    options.preferences = {{"browser", {{"custom_chrome_frame", false}}}};
    // Colours exactly as the page asks, one pixel per CSS pixel.
    options.arguments = {"--window-position=" + window_position(), "--window-size=800,500",
                         "--force-color-profile=srgb", "--force-device-scale-factor=1"};
    browser_ = std::make_unique<BrowserSession>(options);
    ASSERT_TRUE(browser_->start()) << browser_->error() << "\nbrowser output:\n" << browser_->log_tail();
  }

  void TearDown() override {
    if (browser_) {
      EXPECT_EQ(browser_->stop_and_list_leftovers(), "");
    }
    browser_.reset();
    wm_.reset();
  }

  // One request through the extension, by a one-shot message (so a fresh
  // host each time, as the browser starts them); the result, or the text
  // "no result" after a failure has been recorded.
  Json host(std::string_view method, const Json& params = Json::object()) {
    const Json message = {{"id", 1}, {"method", method}, {"params", params}};
    std::optional<Json> value = browser_->call("callHost", Json::array({message}));
    EXPECT_TRUE(value.has_value()) << browser_->error();
    if (!value) return Json("no result");
    EXPECT_FALSE(value->contains("browserError")) << value->dump();
    EXPECT_TRUE((*value)["reply"].contains("result")) << method << ": " << value->dump();
    return (*value)["reply"].value("result", Json("no result"));
  }

  Json host_rect() { return host("get_active_browser_outer_rect"); }

  // The window that holds the page, as DevTools names it.
  std::optional<int> window_id() {
    std::optional<Json> targets = browser_->command("Target.getTargets", Json::object());
    if (!targets) return std::nullopt;
    for (const Json& info : (*targets)["result"]["targetInfos"]) {
      if (info.value("type", "") != "page") continue;
      std::optional<Json> window =
          browser_->command("Browser.getWindowForTarget", {{"targetId", info.value("targetId", "")}});
      if (window) return (*window)["result"].value("windowId", 0);
    }
    return std::nullopt;
  }

  XvfbServer server_{"2560x900x24"};
  TempTree home_;
  std::unique_ptr<XObserver> observer_;
  std::unique_ptr<WindowManager> wm_;
  std::unique_ptr<BrowserSession> browser_;
};

TEST_F(BrowserDesktopTest, ReportsTheBrowserWindowFrame) {
  Json frame;
  ASSERT_TRUE(wait_until([&] { return (frame = observer_->frame_of_process(browser_->pid())).is_object(); }))
      << "the browser's window was never managed";
  // Decorations make the frame larger than the window asked for.
  EXPECT_GE(frame["width"].get<int>(), 800) << frame.dump();
  EXPECT_GE(frame["height"].get<int>(), 500) << frame.dump();
  EXPECT_TRUE(wait_until([&] { return host_rect() == frame; })) << host_rect().dump() << " vs " << frame.dump();

  // Moved and resized by the browser itself: the host follows.
  const std::optional<int> id = window_id();
  ASSERT_TRUE(id.has_value()) << browser_->error();
  ASSERT_TRUE(browser_->command(
      "Browser.setWindowBounds",
      {{"windowId", *id}, {"bounds", {{"left", 300}, {"top", 200}, {"width", 640}, {"height", 400}}}}))
      << browser_->error();
  Json moved;
  ASSERT_TRUE(wait_until([&] {
    moved = observer_->frame_of_process(browser_->pid());
    return moved.is_object() && moved != frame && moved["width"].get<int>() < 800;
  })) << observer_->frame_of_process(browser_->pid()).dump();
  EXPECT_TRUE(wait_until([&] { return host_rect() == moved; })) << host_rect().dump() << " vs " << moved.dump();
}

}  // namespace
}  // namespace pelagon2::testing

namespace pelagon2::testing {
namespace {

// The picture the page draws in its canvas (page/desktop.html), pixel for
// pixel: 6 × 4 cells of 16 pixels.
vision_core::RgbImage page_picture() {
  vision_core::RgbImage image(96, 64);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (std::uint32_t x = 0; x < image.width; ++x) {
      const std::uint32_t column = x / 16, row = y / 16;
      std::uint8_t* p = &image.pixels[(std::size_t{y} * image.width + x) * 3];
      p[0] = static_cast<std::uint8_t>((column * 53 + row * 17) % 256);
      p[1] = static_cast<std::uint8_t>((row * 97 + 40) % 256);
      p[2] = static_cast<std::uint8_t>(((column + row) * 71 + 20) % 256);
    }
  }
  return image;
}

// The browser on the right monitor, which is not the primary one: the host
// must follow the browser there.
class BrowserOnSecondMonitorTest : public BrowserDesktopTest {
 protected:
  std::string window_position() const override { return "1400,60"; }

  // The page's own view of an element: its box in CSS pixels of the viewport.
  Json element_box(const std::string& page, const std::string& id) {
    std::optional<Json> box = browser_->evaluate(
        "(() => { const r = document.getElementById('" + id +
            "').getBoundingClientRect(); return {x: r.x, y: r.y, width: r.width, height: r.height}; })()",
        10000, page);
    EXPECT_TRUE(box.has_value()) << browser_->error();
    return box.value_or(Json());
  }

  Json page_value(const std::string& page, const std::string& expression) {
    return browser_->evaluate(expression, 10000, page).value_or(Json("no value: " + browser_->error()));
  }
};

TEST_F(BrowserOnSecondMonitorTest, FindsClicksTypesAndReadsThePage) {
  const std::string page = browser_->open_page("file://" PELAGON2_TEST_PAGE_DIR "/desktop.html");
  ASSERT_FALSE(page.empty()) << browser_->error();

  EXPECT_EQ(host("get_version"), "2.0.2");
  const Json displays = host("get_display_list");
  ASSERT_EQ(displays.size(), 2u) << displays.dump();
  EXPECT_EQ(displays[0]["name"], "LEFT");
  EXPECT_EQ(displays[1]["name"], "RIGHT");

  // The window manager's frame of the browser, on the right monitor.
  Json frame;
  ASSERT_TRUE(wait_until([&] { return (frame = observer_->frame_of_process(browser_->pid())).is_object(); }))
      << "the browser's window was never managed";
  ASSERT_GE(frame["x"].get<int>(), 1280) << frame.dump();
  EXPECT_TRUE(wait_until([&] { return host_rect() == frame; })) << host_rect().dump() << " vs " << frame.dump();

  // The capture is of the browser's monitor, not of the primary one.
  const std::string before = home_.path() + "/before.png";
  EXPECT_EQ(host("capture_desktop", {{"path", before}}), before);
  const std::optional<PngFile> capture = read_png_file(before);
  ASSERT_TRUE(capture.has_value());
  EXPECT_EQ(capture->width, 1280u);
  EXPECT_EQ(capture->height, 900u);

  // The page's picture, found on the screen at full score, inside the frame.
  const vision_core::RgbImage picture = page_picture();
  Json found;
  ASSERT_TRUE(wait_until([&] {
    found = host("search_desktop", {{"pattern", png_param(picture)}});
    return found.is_object() && found["regions"].size() == 1;
  })) << found.dump();
  const Json& region = found["regions"][0];
  EXPECT_EQ(region["score"], 1.0) << region.dump();
  const Json& rect = region["matchedRect"];
  const int x = rect["x"].get<int>(), y = rect["y"].get<int>();
  EXPECT_EQ(rect["width"], 96);
  EXPECT_EQ(rect["height"], 64);
  EXPECT_GT(x, frame["x"].get<int>());
  EXPECT_LT(x + 96, frame["x"].get<int>() + frame["width"].get<int>());
  EXPECT_GT(y, frame["y"].get<int>());
  EXPECT_LT(y + 64, frame["y"].get<int>() + frame["height"].get<int>());

  // A click at its centre lands on the canvas, at the canvas's centre.
  EXPECT_EQ(host("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", x + 48}, {"y", y + 32}}), true);
  EXPECT_TRUE(wait_until([&] { return page_value(page, "window.clicks.length") != 0; }));
  EXPECT_EQ(page_value(page, "window.clicks"), Json::array({{{"id", "target"}, {"x", 48}, {"y", 32}}}));

  // Screen = viewport + a fixed offset, learnt from the canvas; the field and
  // the line of text are where that offset puts them.
  const Json canvas = element_box(page, "target");
  const int dx = x - canvas["x"].get<int>(), dy = y - canvas["y"].get<int>();
  const Json field = element_box(page, "field");
  EXPECT_EQ(host("send_mouse_event", {{"type", 3}, {"button", 0},
                                      {"x", dx + field["x"].get<int>() + 20}, {"y", dy + field["y"].get<int>() + 20}}),
            true);
  EXPECT_TRUE(wait_until([&] { return page_value(page, "document.activeElement.id") == "field"; }))
      << page_value(page, "document.activeElement.id");

  // Typed text arrives in the field exactly, accents, symbols and CJK included.
  const std::string text = "Grüße aus Köln — 東京 ✓ ½€ & <tab>";
  EXPECT_EQ(host("send_text", {{"text", text}}), true);
  Json typed;
  EXPECT_TRUE(wait_until([&] { return (typed = page_value(page, "document.getElementById('field').value")) == text; }))
      << typed.dump();

  // Recognition of a fresh capture reads the page's line where the page has it.
  const std::string after = home_.path() + "/after.png";
  EXPECT_EQ(host("capture_desktop", {{"path", after}}), after);
  const Json read = host("ocr_image", {{"path", after}});
  ASSERT_TRUE(read.is_object()) << read.dump();
  const Json line_box = element_box(page, "line");
  bool seen = false;
  for (const Json& line : read["lines"]) {
    if (line["text"] != "Seven quiet harbours") continue;
    seen = true;
    const Json& box = line["words"][0]["rect"];
    // The capture's origin is the right monitor's corner.
    EXPECT_NEAR(box["x"].get<double>(), dx + line_box["x"].get<double>() - 1280, 8) << box.dump();
    EXPECT_NEAR(box["y"].get<double>(), dy + line_box["y"].get<double>(), 8) << box.dump();
  }
  EXPECT_TRUE(seen) << read.dump();
}

}  // namespace
}  // namespace pelagon2::testing

namespace pelagon2::testing {
namespace {

// What a user does: the installer registers the host for Chromium, which
// finds it from its default profile, with no manifest of the test's own.
// Headful: headless Chromium does not use the default profile folder.
TEST(InstalledHost, ChromiumStartsTheHostTheInstallerRegistered) {
  if (!chromium_available()) GTEST_SKIP() << "no Chromium at " << chromium_executable();
  ::signal(SIGPIPE, SIG_IGN);
  XvfbServer server("1024x768x24");
  ASSERT_TRUE(server.running());
  BrowserOptions options;
  options.display = server.display();
  options.use_installer = true;
  BrowserSession browser(options);
  ASSERT_TRUE(browser.start()) << browser.error() << "\nbrowser output:\n" << browser.log_tail();
  const Json message = {{"id", 5}, {"method", "get_version"}, {"params", Json::object()}};
  std::optional<Json> value = browser.call("callHost", Json::array({message}));
  ASSERT_TRUE(value.has_value()) << browser.error();
  EXPECT_EQ(*value, Json({{"reply", {{"id", 5}, {"result", "2.0.2"}}}})) << browser.log_tail();
  EXPECT_EQ(browser.stop_and_list_leftovers(), "");
}

}  // namespace
}  // namespace pelagon2::testing
