// Displays on a scripted platform: geometry conversions, the target display,
// the scale fallbacks and the display-list replies.

#include "cv/displays.h"
#include "screen/displays.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "fakes/fake_platform.h"
#include "main/request_handler.h"

namespace pelagon2 {
namespace {

using platform::DisplayRecord;

using testing::display;

// A running browser whose frontmost window has these bounds.
void browser_at(testing::FakePlatform& platform, double x, double y, double width, double height) {
  platform.windows_fake().pids = {77};
  platform::WindowRecord window;
  window.owner_pid = 77;
  window.layer = 0;
  window.x = x;
  window.y = y;
  window.width = width;
  window.height = height;
  platform.windows_fake().windows = std::vector<platform::WindowRecord>{window};
}

std::string reply_text(testing::FakePlatform& platform, const char* method) {
  const Outcome outcome = dispatch_method(method, Json::object(), platform);
  return outcome.ok() ? to_json_text(*outcome) : "error: " + outcome.error();
}

TEST(DisplayGeometry, ConvertsBoundsAndScale) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr std::int32_t kMinInt = std::numeric_limits<std::int32_t>::min();
  constexpr std::int32_t kMaxInt = std::numeric_limits<std::int32_t>::max();
  struct Case {
    const char* name;
    DisplayRecord record;
    std::int32_t x, y;
    std::uint32_t width, height;
    double scale;
  };
  const Case cases[] = {
      {"retina", display(1, 0, 0, 1440, 900, 2880), 0, 0, 1440, 900, 2.0},
      {"single-precision quotient", display(1, 0, 0, 1710, 1107, 2560), 0, 0, 1710, 1107,
       static_cast<double>(2560.0f / 1710.0f)},
      {"left of main", display(2, -1440, 0, 1440, 900, 1440), -1440, 0, 1440, 900, 1.0},
      {"truncated toward zero", display(3, -3.7, 5.9, 100.9, 50.2, 100), -3, 5, 100, 50, 1.0},
      {"saturated", display(4, 1e12, -1e12, 5e9, 1e10, 0), kMaxInt, kMinInt, 4294967295u, 4294967295u, 0.0},
      {"negative size", display(5, kNaN, 0, -20, -1, 0), 0, 0, 0, 0, std::nan("")},
      {"no mode", display(6, 0, 0, 800, 600, 0), 0, 0, 800, 600, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const screen::DisplayGeometry g = screen::display_geometry(c.record);
    EXPECT_EQ(g.x, c.x);
    EXPECT_EQ(g.y, c.y);
    EXPECT_EQ(g.width, c.width);
    EXPECT_EQ(g.height, c.height);
    if (std::isnan(c.scale)) {
      EXPECT_TRUE(std::isnan(g.scale)) << g.scale;
    } else {
      EXPECT_EQ(g.scale, c.scale);
    }
  }
  EXPECT_EQ(screen::display_geometry(display(7, 0, 0, 0, 10, 100)).scale, std::numeric_limits<double>::infinity());
  EXPECT_EQ(screen::display_geometry(display(7, 0, 0, 1710, 10, 2560)).scale, 1.4970760345458984);
}

struct TargetCase {
  const char* name;
  std::vector<DisplayRecord> displays;
  std::optional<std::array<double, 4>> window;
  std::uint32_t expected_id;
};

TEST(ChooseTargetDisplay, PicksTheDisplayHoldingMostOfTheBrowserWindow) {
  const DisplayRecord left = display(10, -1440, 0, 1440, 900, 2880);
  const DisplayRecord main = display(20, 0, 0, 1920, 1080, 1920, true);
  const DisplayRecord right = display(30, 1920, -200, 1280, 1024, 1280);
  const TargetCase cases[] = {
      {"straddling, more on the left", {left, main, right}, std::array<double, 4>{-1000, 100, 1200, 500}, 10},
      {"straddling, more on main", {left, main, right}, std::array<double, 4>{-200, 100, 1200, 500}, 20},
      {"negative y on the right", {left, main, right}, std::array<double, 4>{1900, -150, 400, 100}, 30},
      {"exact tie goes to the later display", {left, main, right}, std::array<double, 4>{-500, 0, 1000, 300}, 20},
      {"tie in reverse list order", {main, left, right}, std::array<double, 4>{-500, 0, 1000, 300}, 10},
      {"off every display: main", {left, main, right}, std::array<double, 4>{5000, 5000, 100, 100}, 20},
      {"touching edge only: main", {left, main, right}, std::array<double, 4>{-1540, 0, 100, 100}, 20},
      {"no browser: main even when not first", {left, right, main}, std::nullopt, 20},
      {"no main: first", {right, left}, std::nullopt, 30},
      {"window beyond 32-bit edges", {left, main}, std::array<double, 4>{2147483000.0, 0, 2147483647.0, 10}, 20},
      {"window over all three: largest share", {left, main, right}, std::array<double, 4>{-1e6, -1e6, 1e7, 1e7}, 20},
      {"saturated window ends left of 0", {left, main, right},
       std::array<double, 4>{-2147483648.0, -100, 1e10, 1000}, 10},
      {"zero-width window: main", {left, main}, std::array<double, 4>{-100, 10, 0, 100}, 20},
  };
  for (const TargetCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakePlatform platform;
    platform.displays_fake().list = c.displays;
    if (c.window) browser_at(platform, (*c.window)[0], (*c.window)[1], (*c.window)[2], (*c.window)[3]);
    const Expected<screen::TargetDisplay> target = screen::choose_target_display(platform);
    ASSERT_TRUE(target.ok()) << target.error();
    EXPECT_EQ(target->id, c.expected_id);
    EXPECT_EQ(target->display.id, c.expected_id);
  }
}

TEST(ChooseTargetDisplay, ReportsTheTargetsOriginAndScale) {
  testing::FakePlatform platform;
  platform.displays_fake().list = std::vector<DisplayRecord>{display(1, 0, 0, 1920, 1080, 1920, true),
                                                              display(2, -1440.5, -30, 1440, 900, 2880)};
  browser_at(platform, -1400, 0, 800, 600);
  const Expected<screen::TargetDisplay> target = screen::choose_target_display(platform);
  ASSERT_TRUE(target.ok()) << target.error();
  EXPECT_EQ(target->id, 2u);
  EXPECT_EQ(target->x, -1440);
  EXPECT_EQ(target->y, -30);
  EXPECT_EQ(target->scale, 2.0);
  EXPECT_EQ(target->display.x, -1440.5);  // the platform's record, unconverted, for the capture
}

TEST(ChooseTargetDisplay, ListErrorsAndNoDisplays) {
  testing::FakePlatform platform;
  EXPECT_EQ(screen::choose_target_display(platform).error(), "capture_failed: no monitors");
  EXPECT_EQ(platform.windows_fake().window_list_calls, 0);  // nothing to place the window on
  platform.displays_fake().list = platform::display_list_error(1001);
  EXPECT_EQ(screen::choose_target_display(platform).error(),
            "capture_failed: CGGetActiveDisplayList failed: CGError(1001)");
  platform.displays_fake().list = platform::display_list_error(-4);
  EXPECT_EQ(screen::choose_target_display(platform).error(), "capture_failed: CGGetActiveDisplayList failed: CGError(-4)");
}

TEST(ChooseTargetDisplay, OnlyTheFirstSixteenDisplaysCount) {
  testing::FakePlatform platform;
  std::vector<DisplayRecord> many;
  for (std::uint32_t i = 0; i < 20; ++i) many.push_back(display(i + 1, 1000.0 * i, 0, 1000, 1000, 1000, i == 18));
  platform.displays_fake().list = many;
  // The main display is the 19th: beyond the list, so the first one is used.
  EXPECT_EQ(screen::choose_target_display(platform)->id, 1u);
  browser_at(platform, 16500, 0, 100, 100);  // on the 17th
  EXPECT_EQ(screen::choose_target_display(platform)->id, 1u);
  const Outcome list = dispatch_method("get_display_list", Json(), platform);
  ASSERT_TRUE(list.ok());
  EXPECT_EQ(list->size(), 16u);
}

TEST(DesktopScale, TargetScaleThenMainScreenThenOne) {
  struct Case {
    const char* name;
    Expected<std::vector<DisplayRecord>> list;
    std::optional<double> main_scale;
    const char* dpi;
    const char* backing;
  };
  const Case cases[] = {
      {"retina target", std::vector<DisplayRecord>{display(1, 0, 0, 1440, 900, 2880, true)}, 3.0,
       R"({"dpiX":192.0,"dpiY":192.0})", "2.0"},
      {"1710 points at 2560 pixels", std::vector<DisplayRecord>{display(1, 0, 0, 1710, 1107, 2560, true)}, 3.0,
       R"({"dpiX":143.71929931640625,"dpiY":143.71929931640625})", "1.4970760345458984"},
      {"no displays: main screen", std::vector<DisplayRecord>{}, 1.5, R"({"dpiX":144.0,"dpiY":144.0})", "1.5"},
      {"list error: main screen", platform::display_list_error(1000), 2.0, R"({"dpiX":192.0,"dpiY":192.0})", "2.0"},
      {"no main screen either", std::vector<DisplayRecord>{}, std::nullopt, R"({"dpiX":96.0,"dpiY":96.0})", "1.0"},
      {"zero-width target", std::vector<DisplayRecord>{display(1, 0, 0, 0, 900, 2880, true)}, 2.0,
       R"({"dpiX":null,"dpiY":null})", "null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakePlatform platform;
    platform.displays_fake().list = c.list;
    platform.displays_fake().main_scale = c.main_scale;
    EXPECT_EQ(reply_text(platform, "get_desktop_dpi"), c.dpi);
    EXPECT_EQ(reply_text(platform, "get_screen_backing_scale_factor"), c.backing);
  }
}

TEST(DesktopScale, FollowsTheBrowserWindowsDisplay) {
  testing::FakePlatform platform;
  platform.displays_fake().list = std::vector<DisplayRecord>{display(1, 0, 0, 1920, 1080, 1920, true),
                                                              display(2, 1920, 0, 1440, 900, 2880)};
  EXPECT_EQ(reply_text(platform, "get_screen_backing_scale_factor"), "1.0");
  browser_at(platform, 2000, 100, 600, 400);
  EXPECT_EQ(reply_text(platform, "get_screen_backing_scale_factor"), "2.0");
  EXPECT_EQ(reply_text(platform, "get_desktop_dpi"), R"({"dpiX":192.0,"dpiY":192.0})");
  // Every request asks the platform again.
  platform.displays_fake().list = std::vector<DisplayRecord>{display(1, 0, 0, 1920, 1080, 3840, true)};
  EXPECT_EQ(reply_text(platform, "get_screen_backing_scale_factor"), "2.0");
  platform.displays_fake().list = std::vector<DisplayRecord>{display(1, 0, 0, 1920, 1080, 1920, true)};
  EXPECT_EQ(reply_text(platform, "get_screen_backing_scale_factor"), "1.0");
}

TEST(DisplayList, RecordsOfEveryDisplay) {
  testing::FakePlatform platform;
  platform.displays_fake().list = std::vector<DisplayRecord>{
      display(69733378, 0, 0, 1440, 900, 2880, true), display(5, -1710, -200, 1710, 1107, 2560),
      display(9, 1440, 0, 0, 768, 1024)};
  platform.displays_fake().screen_list = {{69733378u, "Built-in Retina Display"}, {5u, "DELL U2720Q \xC3\xA9"}};
  EXPECT_EQ(reply_text(platform, "get_display_list"),
            R"([{"dpi":192.0,"height":900,"id":69733378,"isPrimary":true,"name":"Built-in Retina Display",)"
            R"("physicalHeight":1800,"physicalWidth":2880,"scaleFactor":2.0,"width":1440,"x":0,"y":0},)"
            R"({"dpi":143.71929931640625,"height":1107,"id":5,"isPrimary":false,"name":"DELL U2720Q )"
            "\xC3\xA9"
            R"(","physicalHeight":1657,"physicalWidth":2560,"scaleFactor":1.4970760345458984,"width":1710,)"
            R"("x":-1710,"y":-200},)"
            R"({"dpi":null,"height":768,"id":9,"isPrimary":false,"name":"Unknown Monitor 9",)"
            R"("physicalHeight":4294967295,"physicalWidth":0,"scaleFactor":null,"width":0,"x":1440,"y":0}])");

  platform.displays_fake().list = std::vector<DisplayRecord>{};
  EXPECT_EQ(reply_text(platform, "get_display_list"), "[]");
  platform.displays_fake().list = platform::display_list_error(1001);
  EXPECT_EQ(reply_text(platform, "get_display_list"),
            "error: display_list_failed: CGGetActiveDisplayList failed: CGError(1001)");
}

TEST(DisplayList, NameWalkStopsAtAnEntryWithoutNumber) {
  const std::vector<platform::ScreenRecord> screens = {
      {1u, "One"}, {2u, "Two"}, {std::nullopt, "Broken"}, {3u, "Three"}, {2u, "Second Two"}};
  EXPECT_EQ(screen::display_name(1, screens), "One");
  EXPECT_EQ(screen::display_name(2, screens), "Two");  // first match wins
  EXPECT_EQ(screen::display_name(3, screens), "Unknown Monitor 3");  // behind the broken entry
  EXPECT_EQ(screen::display_name(4, screens), "Unknown Monitor 4");
  EXPECT_EQ(screen::display_name(4294967295u, {}), "Unknown Monitor 4294967295");
}

}  // namespace
}  // namespace pelagon2
