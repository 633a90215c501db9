#pragma once
// The Wayland backend's decisions that need no compositor: whether this is a
// Wayland session, which route serves it, and how the outputs a route reports
// become display records.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace pelagon2::platform::wayland {

// True when the environment names a Wayland session: WAYLAND_DISPLAY set and
// non-empty, or XDG_SESSION_TYPE "wayland". Either may be null.
bool is_wayland_session(const char* wayland_display, const char* session_type);

// The ways to a Wayland desktop, in the order they are tried.
enum class Route : std::uint8_t {
  wlroots,  // wlr-screencopy, virtual pointer and keyboard on the Wayland socket
  gnome,    // mutter's remote-desktop and screen-cast services on the session bus
  portal,   // the desktop portal's remote-desktop and screen-cast (a dialog per session)
};

std::string_view route_name(Route route);

// What the session offers, as probed.
struct RouteOffer {
  bool wlroots_globals = false;  // screencopy, virtual pointer and virtual keyboard all offered
  bool mutter_on_bus = false;    // org.gnome.Mutter.RemoteDesktop has an owner
  bool portal_on_bus = false;    // org.freedesktop.portal.Desktop has an owner or is activatable
};

// The route for `offer`. `forced` is the value of PELAGON2_WAYLAND_ROUTE when
// set: one route name takes that route whatever else is offered (the portal on
// a GNOME desktop, for instance), "x11" takes none. nullopt: no route, the
// host stays on X11 (XWayland) or answers as a machine without a screen.
std::optional<Route> choose_route(const RouteOffer& offer, const char* forced);

// One monitor as a route reports it. Positions and sizes are logical (the
// compositor's points), pixel sizes the output's own buffer.
struct Output {
  std::uint32_t id = 0;  // stable while the output exists
  std::string name;      // connector name, UTF-8 ("HEADLESS-1", "Meta-0")
  double x = 0, y = 0, width = 0, height = 0;
  std::uint32_t pixel_width = 0, pixel_height = 0;
  bool primary = false;
};

// The records of the display list, in the route's order: bounds in logical
// points, the mode's pixel width (so the scale is pixels per point), the
// primary output as main, else the first.
std::vector<DisplayRecord> display_records(const std::vector<Output>& outputs);
std::vector<ScreenRecord> screen_records(const std::vector<Output>& outputs);

// The output whose record is `display` (same id), or nullptr.
const Output* output_for(const std::vector<Output>& outputs, const DisplayRecord& display);

// The output that contains the point (x, y) in global points, else the one
// nearest to it, so a move beyond every output ends on the nearest edge; nullptr
// only when there is no output.
const Output* output_at(const std::vector<Output>& outputs, double x, double y);

}  // namespace pelagon2::platform::wayland
