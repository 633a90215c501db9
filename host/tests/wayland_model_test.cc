// The Wayland backend's portable decisions: which route serves a session and
// how the outputs a compositor reports become the display list.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/wayland/wayland_model.h"

namespace pelagon2::platform::wayland {
namespace {

TEST(WaylandSession, IsFoundByEitherVariable) {
  struct Case {
    const char* wayland_display;
    const char* session_type;
    bool expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, false},      {"", nullptr, false},       {"wayland-0", nullptr, true},
      {nullptr, "wayland", true},     {nullptr, "x11", false},    {"", "tty", false},
      {"", "wayland", true},          {nullptr, "Wayland", false},  // the variable's values are lower case
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_wayland_session(c.wayland_display, c.session_type), c.expected)
        << (c.wayland_display ? c.wayland_display : "(unset)") << " / " << (c.session_type ? c.session_type : "(unset)");
  }
}

TEST(WaylandRoute, FirstOfferedRouteWinsUnlessOneIsForced) {
  struct Case {
    RouteOffer offer;
    const char* forced;
    std::optional<Route> expected;
  };
  const RouteOffer all{true, true, true};
  const RouteOffer gnome_desktop{false, true, true};  // mutter's services and the portal
  const RouteOffer kde_desktop{false, false, true};
  const Case cases[] = {
      {all, nullptr, Route::wlroots},
      {gnome_desktop, nullptr, Route::gnome},
      {kde_desktop, nullptr, Route::portal},
      {RouteOffer{}, nullptr, std::nullopt},
      {RouteOffer{}, "", std::nullopt},
      {gnome_desktop, "portal", Route::portal},
      {all, "gnome", Route::gnome},
      // A forced route is taken even where the probe saw nothing: its own
      // factory then says whether it can serve.
      {RouteOffer{}, "wlroots", Route::wlroots},
      {all, "x11", std::nullopt},
      {all, "sway", std::nullopt},  // unknown names choose nothing rather than a guess
  };
  for (const Case& c : cases) {
    EXPECT_EQ(choose_route(c.offer, c.forced), c.expected) << (c.forced ? c.forced : "(not forced)");
  }
}

Output output(std::uint32_t id, double x, double y, double w, double h, std::uint32_t pw, std::uint32_t ph,
              bool primary = false) {
  return Output{id, "OUT-" + std::to_string(id), x, y, w, h, pw, ph, primary};
}

TEST(WaylandOutputs, RecordsKeepLogicalBoundsAndPixelWidthAndMarkOneMain) {
  struct Case {
    const char* name;
    std::vector<Output> outputs;
    std::size_t main_index;
  };
  const Case cases[] = {
      {"primary second", {output(7, 0, 0, 1280, 800, 1280, 800), output(9, 1280, 0, 960, 540, 1920, 1080, true)}, 1},
      {"no primary: the first", {output(3, -640, 0, 640, 400, 1280, 800), output(4, 0, 0, 800, 600, 800, 600)}, 0},
      {"two primaries: the first of them", {output(1, 0, 0, 10, 10, 10, 10), output(2, 10, 0, 10, 10, 10, 10, true),
                                            output(5, 20, 0, 10, 10, 10, 10, true)}, 1},
  };
  for (const Case& c : cases) {
    const std::vector<DisplayRecord> records = display_records(c.outputs);
    ASSERT_EQ(records.size(), c.outputs.size()) << c.name;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const Output& o = c.outputs[i];
      EXPECT_EQ(records[i].id, o.id) << c.name;
      EXPECT_EQ(records[i].x, o.x) << c.name;
      EXPECT_EQ(records[i].y, o.y) << c.name;
      EXPECT_EQ(records[i].width, o.width) << c.name;
      EXPECT_EQ(records[i].height, o.height) << c.name;
      // The display list's scale is the pixel width over the point width.
      EXPECT_EQ(records[i].mode_pixel_width, o.pixel_width) << c.name;
      EXPECT_EQ(records[i].is_main, i == c.main_index) << c.name << " #" << i;
    }
    const std::vector<ScreenRecord> screens = screen_records(c.outputs);
    ASSERT_EQ(screens.size(), c.outputs.size());
    EXPECT_EQ(screens[0].number, c.outputs[0].id);
    EXPECT_EQ(screens[0].name, c.outputs[0].name);
  }
  EXPECT_TRUE(display_records({}).empty());
}

TEST(WaylandOutputs, PointsFindTheOutputUnderThemElseTheNearest) {
  // Two outputs side by side, the right one at scale 2 and lower.
  const std::vector<Output> outputs = {output(1, 0, 0, 1280, 800, 1280, 800),
                                       output(2, 1280, 200, 960, 540, 1920, 1080)};
  struct Case {
    double x, y;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {0, 0, 1},       {1279, 799, 1},  {1279.5, 100, 1}, {1280, 200, 2}, {2239, 739, 2},
      {1280, 100, 1},  // above the right output: nearer the left one's edge
      {5000, 300, 2},  {-300, 400, 1},  {2000, 900, 2},  {-1e9, -1e9, 1},
  };
  for (const Case& c : cases) {
    const Output* o = output_at(outputs, c.x, c.y);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->id, c.expected) << c.x << "," << c.y;
  }
  EXPECT_EQ(output_at({}, 0, 0), nullptr);

  DisplayRecord second;
  second.id = 2;
  ASSERT_NE(output_for(outputs, second), nullptr);
  EXPECT_EQ(output_for(outputs, second)->x, 1280);
  second.id = 99;
  EXPECT_EQ(output_for(outputs, second), nullptr);
}

}  // namespace
}  // namespace pelagon2::platform::wayland
