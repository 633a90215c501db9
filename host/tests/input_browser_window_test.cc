// The browser-window walk over scripted window lists, and its method reply.

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "input/browser_window.h"
#include "main/request_handler.h"
#include "screen/browser_window.h"

namespace pelagon2::input {
namespace {

using screen::browser_window_rect;
using screen::WindowRect;

using platform::WindowRecord;
using Bounds = WindowRecord::BoundsState;

WindowRecord window(std::optional<std::int64_t> pid, std::optional<std::int64_t> layer, double x, double y, double w,
                    double h, Bounds state = Bounds::ok) {
  WindowRecord r;
  r.owner_pid = pid;
  r.layer = layer;
  r.bounds_state = state;
  r.x = x;
  r.y = y;
  r.width = w;
  r.height = h;
  return r;
}

struct WalkCase {
  const char* name;
  std::vector<std::int32_t> pids;
  std::optional<std::vector<WindowRecord>> windows;
  std::optional<WindowRect> expected;
};

TEST(BrowserWindow, WalkRules) {
  constexpr double kBig = 1e12;
  const WalkCase cases[] = {
      {"no browser running", {}, std::vector{window(7, 0, 1, 2, 3, 4)}, std::nullopt},
      {"no window list", {7}, std::nullopt, std::nullopt},
      {"first browser window wins", {7, 9}, std::vector{window(3, 0, 0, 0, 5, 5), window(9, 0, 10, 20, 300, 200),
                                                        window(7, 0, 1, 1, 1, 1)},
       WindowRect{10, 20, 300, 200}},
      {"non-zero layer skipped even in front", {7}, std::vector{window(7, 25, 0, 0, 9, 9), window(7, 0, 5, 6, 7, 8)},
       WindowRect{5, 6, 7, 8}},
      {"missing layer skipped", {7}, std::vector{window(7, std::nullopt, 0, 0, 9, 9), window(7, 0, 1, 2, 3, 4)},
       WindowRect{1, 2, 3, 4}},
      {"missing owner stops the walk", {7}, std::vector{window(std::nullopt, 0, 0, 0, 9, 9), window(7, 0, 1, 2, 3, 4)},
       std::nullopt},
      {"unreadable bounds stop the walk", {7},
       std::vector{window(7, 0, 0, 0, 9, 9, Bounds::unreadable), window(7, 0, 1, 2, 3, 4)}, std::nullopt},
      {"bounds of another owner are not read", {7},
       std::vector{window(8, 0, 0, 0, 9, 9, Bounds::missing), window(7, 0, 1, 2, 3, 4)}, WindowRect{1, 2, 3, 4}},
      {"negative origin, truncated toward zero", {7}, std::vector{window(7, 0, -1439.7, -0.5, 800.9, 600.2)},
       WindowRect{-1439, 0, 800, 600}},
      {"saturating sizes", {7}, std::vector{window(7, 0, -kBig, kBig, kBig, std::nan(""))},
       WindowRect{std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
                  std::numeric_limits<std::int32_t>::max(), 0}},
      {"pid compared in 32 bits", {7}, std::vector{window((std::int64_t{1} << 32) + 7, 0, 1, 2, 3, 4)},
       WindowRect{1, 2, 3, 4}},
      {"no browser window at all", {7}, std::vector{window(3, 0, 1, 2, 3, 4)}, std::nullopt},
  };
  for (const WalkCase& c : cases) {
    testing::FakeWindows windows;
    windows.pids = c.pids;
    windows.windows = c.windows;
    EXPECT_EQ(browser_window_rect(windows), c.expected) << c.name;
    if (c.pids.empty()) {
      EXPECT_EQ(windows.window_list_calls, 0) << c.name;
    }
  }
}

TEST(BrowserWindow, MethodReplies) {
  testing::FakePlatform platform;
  const Json anything = Json{{"x", 1}};
  Outcome none = dispatch_method("get_active_browser_outer_rect", anything, platform);
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(to_json_text(*none), "null");

  platform.windows_fake().pids = {42};
  platform.windows_fake().windows = std::vector{window(42, 0, -1440, 25, 1200, 800)};
  Outcome found = dispatch_method("get_active_browser_outer_rect", Json(), platform);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(to_json_text(*found), R"({"height":800,"width":1200,"x":-1440,"y":25})");
}

}  // namespace
}  // namespace pelagon2::input
