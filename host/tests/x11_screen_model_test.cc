// The X11 screen backend's decisions, without a server: monitors to displays,
// the captured rectangle and pixel layouts to bgrx.

#include "platform/x11/x11_screen_model.h"

#include <gtest/gtest.h>

#include <limits>

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
