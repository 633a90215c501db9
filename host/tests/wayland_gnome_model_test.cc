// The GNOME route's portable rules: monitors from mutter's display state,
// stream coordinates, typed versus pasted text, and the fresh-frame wait.

#include "platform/wayland/gnome_model.h"

#include <gtest/gtest.h>

namespace pelagon2::platform::wayland::gnome {
namespace {

TEST(GnomeModel, OutputsFromDisplayState) {
  const std::vector<MonitorMode> modes = {{"Meta-0", 1280, 800}, {"Meta-1", 2560, 1600}, {"Meta-2", 0, 0}};
  struct Case {
    const char* name;
    std::vector<LogicalMonitor> logical;
    LayoutMode mode;
    std::vector<Output> want;
  };
  const Case cases[] = {
      {"one monitor", {{0, 0, 1, 0, true, {"Meta-0"}}}, LayoutMode::physical, {{1, "Meta-0", 0, 0, 1280, 800, 1280, 800, true}}},
      {"scale 2 in logical layout: points are pixels / 2",
       {{0, 0, 1, 0, true, {"Meta-0"}}, {1280, 0, 2, 0, false, {"Meta-1"}}},
       LayoutMode::logical,
       {{1, "Meta-0", 0, 0, 1280, 800, 1280, 800, true}, {2, "Meta-1", 1280, 0, 1280, 800, 2560, 1600, false}}},
      {"scale 2 in physical layout: the layout is in pixels",
       {{1280, 0, 2, 0, false, {"Meta-1"}}},
       LayoutMode::physical,
       {{1, "Meta-1", 1280, 0, 2560, 1600, 2560, 1600, false}}},
      {"rotated by 90 degrees swaps the sides",
       {{0, 0, 1, 1, true, {"Meta-0"}}},
       LayoutMode::logical,
       {{1, "Meta-0", 0, 0, 800, 1280, 800, 1280, true}}},
      {"monitor without a mode, unknown connector and none are left out",
       {{0, 0, 1, 0, false, {"Meta-2"}}, {0, 0, 1, 0, false, {"HDMI-9"}}, {0, 0, 1, 0, false, {}}, {5, 6, 1, 0, false, {"Meta-0"}}},
       LayoutMode::physical,
       {{1, "Meta-0", 5, 6, 1280, 800, 1280, 800, false}}},
  };
  for (const Case& c : cases) {
    const std::vector<Output> got = outputs_from_state(modes, c.logical, c.mode);
    ASSERT_EQ(got.size(), c.want.size()) << c.name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].id, c.want[i].id) << c.name;
      EXPECT_EQ(got[i].name, c.want[i].name) << c.name;
      EXPECT_DOUBLE_EQ(got[i].x, c.want[i].x) << c.name;
      EXPECT_DOUBLE_EQ(got[i].y, c.want[i].y) << c.name;
      EXPECT_DOUBLE_EQ(got[i].width, c.want[i].width) << c.name;
      EXPECT_DOUBLE_EQ(got[i].height, c.want[i].height) << c.name;
      EXPECT_EQ(got[i].pixel_width, c.want[i].pixel_width) << c.name;
      EXPECT_EQ(got[i].pixel_height, c.want[i].pixel_height) << c.name;
      EXPECT_EQ(got[i].primary, c.want[i].primary) << c.name;
    }
  }
}

TEST(GnomeModel, StreamPoints) {
  const Output second{2, "Meta-1", 1280, 0, 1280, 800, 2560, 1600, false};
  struct Case {
    std::uint32_t w, h;
    double x, y;
    StreamPoint want;
  };
  const Case cases[] = {
      {2560, 1600, 1280, 0, {0, 0}},         // its origin
      {2560, 1600, 1300.5, 10, {41, 20}},   // points to pixels
      {0, 0, 1300.5, 10, {41, 20}},         // the output's pixel size before the first frame
      {2560, 1600, 5000, 5000, {2559.25, 1599.25}},  // beyond: inside the last pixel
      {2560, 1600, 0, -5, {0, 0}},
      {1280, 800, 1281, 1, {1, 1}},         // a stream at point size
  };
  for (const Case& c : cases) EXPECT_EQ(stream_point(second, c.w, c.h, c.x, c.y), c.want) << c.x << "," << c.y;
}

TEST(GnomeModel, TextRuns) {
  struct Case {
    std::u32string text;
    std::vector<TextRun> want;
  };
  const Case cases[] = {
      {U"", {}},
      {U"Hello, World!", {{false, U"Hello, World!"}}},
      {U"Grüße", {{false, U"Gr"}, {true, U"üß"}, {false, U"e"}}},
      {U"a€b", {{false, U"a"}, {true, U"€"}, {false, U"b"}}},
      // A lone typeable character between pasted ones joins the paste.
      {U"ü ö", {{true, U"ü ö"}}},
      // Line breaks and tabs stay keys, even between pasted characters.
      {U"ü\nö", {{true, U"ü"}, {false, U"\n"}, {true, U"ö"}}},
      {U"Grüße aus Köln — 東京 ✓ ½€",
       {{false, U"Gr"}, {true, U"üß"}, {false, U"e aus K"}, {true, U"ö"}, {false, U"ln "}, {true, U"— 東京 ✓ ½€"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(plan_text(c.text, us_typeable), c.want) << c.text.size();
}

TEST(GnomeModel, FreshFrameWait) {
  constexpr std::int64_t ms = 1'000'000;
  struct Case {
    const char* name;
    Freshness f;
    std::int64_t now;
    FrameWait want;
  };
  const Case cases[] = {
      {"no frame yet: wait for the first", {0, 0}, 10 * ms, {false, 999 * ms}},
      {"no input: the newest frame is the screen", {0, 5 * ms}, 10 * ms, {true, 10 * ms}},
      {"a frame after the input, quiet since", {100 * ms, 120 * ms}, 200 * ms, {true, 200 * ms}},
      {"a frame after the input, another may follow", {100 * ms, 120 * ms}, 130 * ms, {false, 200 * ms}},
      {"frames keep coming: the bound ends the wait", {100 * ms, 490 * ms}, 495 * ms, {false, 500 * ms}},
      {"frame older than the input: wait for the next", {100 * ms, 90 * ms}, 110 * ms, {false, 500 * ms}},
      {"nothing came within the bound: take the newest", {100 * ms, 90 * ms}, 500 * ms, {true, 500 * ms}},
  };
  for (const Case& c : cases) EXPECT_EQ(frame_wait(c.f, c.now, 999 * ms), c.want) << c.name;
}

}  // namespace
}  // namespace pelagon2::platform::wayland::gnome
