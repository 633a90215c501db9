// Chromium as a native Wayland client of a headless compositor, driven by its
// extension through the host as on X11: the page's picture found on the
// screen and clicked, its field focused and typed into, a line of it read from
// a capture, and the browser window's rectangle where the compositor tells it.
// One browser per compositor: sway (wlroots route) and mutter (GNOME route).

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "browser/browser_session.h"
#include "browser/wayland_desktops.h"
#include "testkit/png_file_reader.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2::testing {
namespace {

using std::chrono::seconds;

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

std::string compositor_name(const ::testing::TestParamInfo<WaylandDesktopKind>& info) {
  return info.param == WaylandDesktopKind::kSway ? "Sway" : "Mutter";
}

class WaylandBrowserTest : public ::testing::TestWithParam<WaylandDesktopKind> {
 protected:
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }

  void SetUp() override {
    if (!chromium_available()) GTEST_SKIP() << "no Chromium at " << chromium_executable();
    desktop_ = make_wayland_desktop(GetParam());
    if (const std::string missing = desktop_->missing(); !missing.empty()) GTEST_SKIP() << missing;
    ASSERT_TRUE(desktop_->start()) << desktop_->error();

    BrowserOptions options;
    options.wayland_display = desktop_->wayland_display();
    options.environment = desktop_->environment();
    // The compositor's decorations (none on sway) rather than the browser's
    // own frame, whose shadow lies outside the window the compositor places.
    options.preferences = {{"browser", {{"custom_chrome_frame", false}}}};
    // Colours exactly as the page asks, one pixel per CSS pixel.
    options.arguments = {"--window-size=1000,700", "--force-color-profile=srgb", "--force-device-scale-factor=1"};
    browser_ = std::make_unique<BrowserSession>(options);
    ASSERT_TRUE(browser_->start()) << browser_->error() << "\nbrowser output:\n" << browser_->log_tail();
  }

  void TearDown() override {
    if (browser_) {
      EXPECT_EQ(browser_->stop_and_list_leftovers(), "");
    }
    browser_.reset();
    desktop_.reset();
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
    const Json& reply = (*value)["reply"];
    EXPECT_TRUE(reply.is_object() && reply.contains("result")) << method << ": " << value->dump();
    return reply.is_object() ? reply.value("result", Json("no result")) : Json("no result");
  }

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

  std::unique_ptr<WaylandDesktop> desktop_;
  std::unique_ptr<BrowserSession> browser_;
};

TEST_P(WaylandBrowserTest, FindsClicksTypesReadsAndLocatesThePage) {
  const std::string page = browser_->open_page("file://" PELAGON2_TEST_PAGE_DIR "/desktop.html");
  ASSERT_FALSE(page.empty()) << browser_->error();
  const bool sway = GetParam() == WaylandDesktopKind::kSway;

  // sway tiles the window over the whole output; floated somewhere else, it
  // shows that the rectangle and the coordinates are not the output's.
  const Json moved = rect_json(150, 80, 900, 600);
  if (sway) {
    Json tiled;
    ASSERT_TRUE(wait_until([&] { return (tiled = desktop_->window_rect(browser_->pid())).is_object(); }))
        << "sway never showed the browser's window";
    EXPECT_EQ(tiled, rect_json(0, 0, 1280, 800));
    EXPECT_EQ(host("get_active_browser_outer_rect"), tiled);
    ASSERT_TRUE(desktop_->place_window(browser_->pid(), moved)) << desktop_->error();
    ASSERT_TRUE(wait_until([&] { return desktop_->window_rect(browser_->pid()) == moved; }, seconds(20)))
        << desktop_->window_rect(browser_->pid()).dump();
    ASSERT_TRUE(wait_until([&] { return page_value(page, "[outerWidth, outerHeight]") == Json({900, 600}); },
                           seconds(20)))
        << page_value(page, "[outerWidth, outerHeight]");
  }

  const Json displays = host("get_display_list");
  ASSERT_EQ(displays.size(), 1u) << displays.dump();
  EXPECT_EQ(displays[0]["width"], 1280) << displays.dump();
  EXPECT_EQ(displays[0]["height"], 800) << displays.dump();

  // sway says where the window is; GNOME has no way to tell.
  if (sway) {
    EXPECT_EQ(host("get_active_browser_outer_rect"), moved);
  } else {
    EXPECT_EQ(host("get_active_browser_outer_rect"), Json(nullptr));
  }

  // The page's picture, found on the screen at full score (inside the window
  // where the compositor says where it is). sway reports the moved window at
  // once but may show it where it was until the browser drew at its new size.
  const vision_core::RgbImage picture = page_picture();
  const Json canvas = element_box(page, "target");
  Json found;
  ASSERT_TRUE(wait_until(
      [&] {
        found = host("search_desktop", {{"pattern", png_param(picture)}});
        if (!found.is_object() || found["regions"].size() != 1) return false;
        const Json& at = found["regions"][0]["matchedRect"];
        return !sway || (at["x"].get<double>() - canvas["x"].get<double>() >= 150 &&
                         at["y"].get<double>() - canvas["y"].get<double>() >= 80);
      },
      seconds(20)))
      << found.dump();
  const Json& region = found["regions"][0];
  EXPECT_EQ(region["score"], 1.0) << region.dump();
  const Json& match = region["matchedRect"];
  const int x = match["x"].get<int>(), y = match["y"].get<int>();
  EXPECT_EQ(match["width"], 96);
  EXPECT_EQ(match["height"], 64);
  if (sway) {
    EXPECT_GT(x, 150);
    EXPECT_LT(x + 96, 150 + 900);
    EXPECT_GT(y, 80);
    EXPECT_LT(y + 64, 80 + 600);
  }

  // A click at its centre lands on the canvas, at the canvas's centre.
  EXPECT_EQ(host("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", x + 48}, {"y", y + 32}}), true);
  EXPECT_TRUE(wait_until([&] { return page_value(page, "window.clicks.length") != 0; }, seconds(20)));
  EXPECT_EQ(page_value(page, "window.clicks"), Json::array({{{"id", "target"}, {"x", 48}, {"y", 32}}}));

  // Screen = viewport + a fixed offset, learnt from the canvas; the field and
  // the line of text are where that offset puts them.
  const int dx = x - canvas["x"].get<int>(), dy = y - canvas["y"].get<int>();
  const Json field = element_box(page, "field");
  EXPECT_EQ(host("send_mouse_event", {{"type", 3}, {"button", 0},
                                      {"x", dx + field["x"].get<int>() + 20}, {"y", dy + field["y"].get<int>() + 20}}),
            true);
  EXPECT_TRUE(wait_until([&] { return page_value(page, "document.activeElement.id") == "field"; }, seconds(20)))
      << page_value(page, "document.activeElement.id");

  // Typed text arrives in the field exactly, accents, symbols and CJK included
  // (beyond the keymap: extra keys on sway, the clipboard on GNOME).
  const std::string text = "Grüße aus Köln — 東京 ✓ ½€";
  EXPECT_EQ(host("send_text", {{"text", text}}), true);
  Json typed;
  EXPECT_TRUE(wait_until(
      [&] { return (typed = page_value(page, "document.getElementById('field').value")) == text; }, seconds(20)))
      << typed.dump();

  // Recognition of a fresh capture reads the page's line where the page has it.
  const std::string after = desktop_->folder() + "/after.png";
  EXPECT_EQ(host("capture_desktop", {{"path", after}}), after);
  const std::optional<PngFile> capture = read_png_file(after);
  ASSERT_TRUE(capture.has_value());
  EXPECT_EQ(capture->width, 1280u);
  EXPECT_EQ(capture->height, 800u);
  const Json read = host("ocr_image", {{"path", after}});
  ASSERT_TRUE(read.is_object()) << read.dump();
  const Json line_box = element_box(page, "line");
  bool seen = false;
  for (const Json& line : read["lines"]) {
    if (line["text"] != "Seven quiet harbours") continue;
    seen = true;
    const Json& box = line["words"][0]["rect"];
    EXPECT_NEAR(box["x"].get<double>(), dx + line_box["x"].get<double>(), 8) << box.dump();
    EXPECT_NEAR(box["y"].get<double>(), dy + line_box["y"].get<double>(), 8) << box.dump();
  }
  EXPECT_TRUE(seen) << read.dump();
}

INSTANTIATE_TEST_SUITE_P(Compositors, WaylandBrowserTest,
                         ::testing::Values(WaylandDesktopKind::kSway, WaylandDesktopKind::kMutter), compositor_name);

}  // namespace
}  // namespace pelagon2::testing
