// The X11 screen backend's decisions, without a server: monitors to displays,
// the captured rectangle and pixel layouts to bgrx.

#include "platform/x11/x11_screen_model.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <vector>

namespace pelagon2::platform::x11 {
namespace {

MonitorInfo monitor(std::uint32_t atom, const char* name, std::int32_t x, std::int32_t y, std::int32_t w,
                    std::int32_t h, bool primary, std::optional<std::uint32_t> output) {
  MonitorInfo m;
  m.name_atom = atom;
  m.name = name;
  m.x = x;
  m.y = y;
  m.width = w;
  m.height = h;
  m.primary = primary;
  m.first_output = output;
  return m;
}

TEST(X11ScreenModel, MonitorsBecomeDisplaysInServerOrder) {
  struct Case {
    const char* name;
    std::vector<MonitorInfo> monitors;
    std::vector<std::uint32_t> ids;
    std::vector<bool> main;
  };
  const Case cases[] = {
      {"primary second", {monitor(300, "DP-1", 0, 0, 1920, 1080, false, 0x41), monitor(301, "HDMI-1", 1920, 0, 1280, 1024, true, 0x42)},
       {0x41, 0x42}, {false, true}},
      {"no primary: the first", {monitor(300, "A", 0, 0, 10, 10, false, std::nullopt), monitor(301, "B", 10, 0, 10, 10, false, 0x9)},
       {300, 0x9}, {true, false}},
      {"two flagged: the first flagged", {monitor(1, "A", 0, 0, 1, 1, false, 5), monitor(2, "B", 1, 0, 1, 1, true, 6), monitor(3, "C", 2, 0, 1, 1, true, 7)},
       {5, 6, 7}, {false, true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<DisplayRecord> displays = displays_from_monitors(c.monitors);
    ASSERT_EQ(displays.size(), c.ids.size());
    for (std::size_t i = 0; i < displays.size(); ++i) {
      EXPECT_EQ(displays[i].id, c.ids[i]);
      EXPECT_EQ(displays[i].is_main, c.main[i]);
      EXPECT_EQ(displays[i].x, c.monitors[i].x);
      EXPECT_EQ(displays[i].width, c.monitors[i].width);
      EXPECT_EQ(displays[i].height, c.monitors[i].height);
      EXPECT_EQ(displays[i].mode_pixel_width, static_cast<std::uint64_t>(c.monitors[i].width));  // scale 1
    }
    const std::vector<ScreenRecord> screens = screens_from_monitors(c.monitors);
    ASSERT_EQ(screens.size(), c.ids.size());
    for (std::size_t i = 0; i < screens.size(); ++i) {
      EXPECT_EQ(screens[i].number, c.ids[i]);
      EXPECT_EQ(screens[i].name, c.monitors[i].name);
    }
  }
  EXPECT_EQ(displays_from_monitors({monitor(1, "odd", -5, 0, -3, 0, false, 2)})[0].mode_pixel_width, 0u);
  EXPECT_EQ(screens_from_monitors({monitor(1, "Caf\xE9", 0, 0, 1, 1, false, 2)})[0].name, "Caf\xC3\xA9");
  const DisplayRecord root = root_display(0x2a0, 1280, 800);
  EXPECT_EQ(root.id, 0x2a0u);
  EXPECT_TRUE(root.is_main);
  EXPECT_EQ(root.width, 1280);
  EXPECT_EQ(root.mode_pixel_width, 1280u);
}

TEST(X11ScreenModel, CapturedRectangle) {
  DisplayRecord d;
  d.x = -3.9;
  d.y = 1e12;
  d.width = 100.9;
  d.height = -4;
  EXPECT_EQ(display_pixels(d), (PixelRect{-3, std::numeric_limits<std::int32_t>::max(), 100, 0}));
  EXPECT_TRUE(display_pixels(d).empty());
  const PixelRect root{0, 0, 3200, 1080};
  EXPECT_EQ(intersect(PixelRect{3000, 900, 400, 300}, root), (PixelRect{3000, 900, 200, 180}));
  EXPECT_EQ(intersect(PixelRect{-10, -20, 30, 40}, root), (PixelRect{0, 0, 20, 20}));
  EXPECT_TRUE(intersect(PixelRect{3200, 0, 10, 10}, root).empty());
  EXPECT_TRUE(intersect(PixelRect{0, -10, 10, 10}, root).empty());
  EXPECT_EQ(intersect(PixelRect{0, 0, 3200, 1080}, root), root);
}

TEST(X11ScreenModel, RectanglesAreClippedToTheRoot) {
  constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
  struct Case {
    const char* name;
    std::uint16_t root_width, root_height;
    PixelRect rect;
    std::optional<PixelRect> clipped;
  };
  const Case cases[] = {
      {"inside", 800, 600, {100, 50, 200, 100}, PixelRect{100, 50, 200, 100}},
      {"the whole root", 800, 600, {0, 0, 800, 600}, PixelRect{0, 0, 800, 600}},
      {"over the right edge", 800, 600, {600, 450, 400, 300}, PixelRect{600, 450, 200, 150}},
      {"over the bottom edge", 800, 600, {10, 500, 20, 300}, PixelRect{10, 500, 20, 100}},
      {"over the left edge", 800, 600, {-50, 10, 100, 20}, PixelRect{0, 10, 50, 20}},
      {"over the top edge", 800, 600, {10, -50, 20, 100}, PixelRect{10, 0, 20, 50}},
      {"around the root", 800, 600, {-10, -10, 2000, 2000}, PixelRect{0, 0, 800, 600}},
      {"touching the right edge from outside", 800, 600, {800, 0, 10, 10}, std::nullopt},
      {"touching the bottom edge from outside", 800, 600, {0, 600, 10, 10}, std::nullopt},
      {"left of the root", 800, 600, {-100, 0, 100, 600}, std::nullopt},
      {"above the root", 800, 600, {0, -600, 800, 600}, std::nullopt},
      {"zero width", 800, 600, {10, 10, 0, 10}, std::nullopt},
      {"zero height", 800, 600, {10, 10, 10, 0}, std::nullopt},
      {"negative size", 800, 600, {10, 10, -5, 10}, std::nullopt},
      {"the largest monitor RandR can make", 800, 600, {0, 0, 65535, 65535}, PixelRect{0, 0, 800, 600}},
      {"the largest screen", 65535, 65535, {-32768, -32768, 65535, 65535}, PixelRect{0, 0, 32767, 32767}},
      {"32-bit extremes", 1024, 768, {kInt32Min, kInt32Min, kInt32Max, kInt32Max}, std::nullopt},
      {"32-bit extremes reaching in", 1024, 768, {-1, kInt32Min + 1000, kInt32Max, kInt32Max}, PixelRect{0, 0, 1024, 768}},
      {"far beyond on the right", 1024, 768, {kInt32Max, 0, kInt32Max, 10}, std::nullopt},
      {"an empty root", 0, 0, {0, 0, 10, 10}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<PixelRect> clipped = clip_to_root(c.rect, c.root_width, c.root_height);
    EXPECT_EQ(clipped, c.clipped);
  }
}

TEST(X11ScreenModel, MonitorsOffTheRootAreLeftOutAndTheRestClipped) {
  const std::vector<MonitorInfo> monitors = {
      monitor(1, "HUGE", 0, 0, 20000, 20000, false, std::nullopt),
      monitor(2, "AWAY", 800, 0, 100, 100, true, std::nullopt),
      monitor(3, "EDGE", 600, 450, 400, 300, false, 0x51),
      monitor(4, "EMPTY", 10, 10, 0, 0, false, 0x52),
      monitor(5, "INSIDE", 100, 100, 50, 40, false, 0x53),
  };
  const std::vector<MonitorInfo> on_root = monitors_on_root(monitors, 800, 600);
  ASSERT_EQ(on_root.size(), 3u);
  struct Kept {
    std::uint32_t atom;
    PixelRect rect;
  };
  const Kept expected[] = {{1, {0, 0, 800, 600}}, {3, {600, 450, 200, 150}}, {5, {100, 100, 50, 40}}};
  for (std::size_t i = 0; i < on_root.size(); ++i) {
    SCOPED_TRACE(on_root[i].name);
    EXPECT_EQ(on_root[i].name_atom, expected[i].atom);
    EXPECT_EQ((PixelRect{on_root[i].x, on_root[i].y, on_root[i].width, on_root[i].height}), expected[i].rect);
  }
  EXPECT_EQ(on_root[1].first_output, std::optional<std::uint32_t>(0x51));
  // The primary monitor lay off the root: the first one left is the main display.
  const std::vector<DisplayRecord> displays = displays_from_monitors(on_root);
  ASSERT_EQ(displays.size(), 3u);
  EXPECT_TRUE(displays[0].is_main);
  EXPECT_EQ(displays[0].width, 800);
  EXPECT_EQ(displays[0].mode_pixel_width, 800u);
  EXPECT_TRUE(monitors_on_root(monitors, 0, 0).empty());
}

TEST(X11ScreenModel, LayoutsBecomeBgrx) {
  struct Case {
    const char* name;
    PixelLayout layout;
    std::vector<std::uint8_t> pixel;  // one pixel as stored
    std::vector<std::uint8_t> bgrx;
  };
  const Case cases[] = {
      {"bgrx", PixelLayout{}, {0x10, 0x20, 0x30, 0x99}, {0x10, 0x20, 0x30, 0x99}},
      {"32-bit msb first", PixelLayout{32, true, 0xFF0000, 0xFF00, 0xFF}, {0x99, 0x30, 0x20, 0x10}, {0x10, 0x20, 0x30, 0xFF}},
      {"rgbx masks", PixelLayout{32, false, 0xFF, 0xFF00, 0xFF0000}, {0x30, 0x20, 0x10, 0}, {0x10, 0x20, 0x30, 0xFF}},
      {"24-bit packed", PixelLayout{24, false, 0xFF0000, 0xFF00, 0xFF}, {0x10, 0x20, 0x30}, {0x10, 0x20, 0x30, 0xFF}},
      // 565: red 0x1F (full), green 0x20 of 0x3F, blue 0 → 255, 130, 0.
      {"16-bit 565", PixelLayout{16, false, 0xF800, 0x07E0, 0x001F}, {0x00, 0xFC}, {0x00, 0x82, 0xFF, 0xFF}},
      {"16-bit 565 msb first", PixelLayout{16, true, 0xF800, 0x07E0, 0x001F}, {0xFC, 0x00}, {0x00, 0x82, 0xFF, 0xFF}},
      {"30-bit channels", PixelLayout{32, false, 0x3FF00000, 0xFFC00, 0x3FF}, {0xFF, 0x03, 0xF0, 0x3F}, {0xFF, 0x00, 0xFF, 0xFF}},
      {"8-bit 332", PixelLayout{8, false, 0xE0, 0x1C, 0x03}, {0xE3}, {0xFF, 0x00, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(is_convertible(c.layout));
    // Two rows of three equal pixels with two padding bytes after each row.
    const std::size_t bytes = c.pixel.size();
    std::vector<std::uint8_t> src;
    for (int row = 0; row < 2; ++row) {
      for (int i = 0; i < 3; ++i) src.insert(src.end(), c.pixel.begin(), c.pixel.end());
      src.push_back(0xAB);
      src.push_back(0xCD);
    }
    std::vector<std::uint8_t> out(2 * 16, 0x55);
    convert_to_bgrx(src.data(), 3 * bytes + 2, 3, 2, c.layout, out.data(), 16);
    for (int row = 0; row < 2; ++row) {
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + row * 16 + i * 4, out.begin() + row * 16 + i * 4 + 4), c.bgrx);
      }
      EXPECT_EQ(out[static_cast<std::size_t>(row) * 16 + 12], 0x55);  // beyond the row: untouched
    }
  }
  EXPECT_TRUE(is_bgrx(PixelLayout{}));
  EXPECT_FALSE(is_bgrx(PixelLayout{32, true, 0xFF0000, 0xFF00, 0xFF}));
  EXPECT_FALSE(is_convertible(PixelLayout{1, false, 1, 1, 1}));
  EXPECT_FALSE(is_convertible(PixelLayout{32, false, 0, 0xFF00, 0xFF}));
}

}  // namespace
}  // namespace pelagon2::platform::x11
