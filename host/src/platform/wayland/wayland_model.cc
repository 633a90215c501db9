#include "platform/wayland/wayland_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace pelagon2::platform::wayland {

bool is_wayland_session(const char* wayland_display, const char* session_type) {
  if (wayland_display != nullptr && *wayland_display != '\0') return true;
  return session_type != nullptr && std::strcmp(session_type, "wayland") == 0;
}

std::string_view route_name(Route route) {
  switch (route) {
    case Route::wlroots:
      return "wlroots";
    case Route::gnome:
      return "gnome";
    case Route::portal:
      return "portal";
  }
  return "";
}

std::optional<Route> choose_route(const RouteOffer& offer, const char* forced) {
  if (forced != nullptr && *forced != '\0') {
    for (Route r : {Route::wlroots, Route::gnome, Route::portal}) {
      if (route_name(r) == forced) return r;
    }
    // "x11" and anything unknown: no Wayland route, rather than a guess.
    return std::nullopt;
  }
  if (offer.wlroots_globals) return Route::wlroots;
  if (offer.mutter_on_bus) return Route::gnome;
  if (offer.portal_on_bus) return Route::portal;
  return std::nullopt;
}

std::vector<DisplayRecord> display_records(const std::vector<Output>& outputs) {
  std::vector<DisplayRecord> records;
  records.reserve(outputs.size());
  const auto primary = std::find_if(outputs.begin(), outputs.end(), [](const Output& o) { return o.primary; });
  const std::size_t main_index = primary != outputs.end() ? static_cast<std::size_t>(primary - outputs.begin()) : 0;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const Output& o = outputs[i];
    DisplayRecord d;
    d.id = o.id;
    d.x = o.x;
    d.y = o.y;
    d.width = o.width;
    d.height = o.height;
    d.mode_pixel_width = o.pixel_width;
    d.is_main = i == main_index;
    records.push_back(d);
  }
  return records;
}

std::vector<ScreenRecord> screen_records(const std::vector<Output>& outputs) {
  std::vector<ScreenRecord> screens;
  screens.reserve(outputs.size());
  for (const Output& o : outputs) screens.push_back(ScreenRecord{o.id, o.name});
  return screens;
}

const Output* output_for(const std::vector<Output>& outputs, const DisplayRecord& display) {
  for (const Output& o : outputs) {
    if (o.id == display.id) return &o;
  }
  return nullptr;
}

const Output* output_at(const std::vector<Output>& outputs, double x, double y) {
  const Output* nearest = nullptr;
  double nearest_distance = std::numeric_limits<double>::infinity();
  for (const Output& o : outputs) {
    // Distance from the point to the rectangle [x, x + w) × [y, y + h).
    const double dx = x < o.x ? o.x - x : (x >= o.x + o.width ? x - (o.x + o.width) + 1 : 0);
    const double dy = y < o.y ? o.y - y : (y >= o.y + o.height ? y - (o.y + o.height) + 1 : 0);
    const double distance = std::hypot(dx, dy);
    if (distance < nearest_distance) {
      nearest_distance = distance;
      nearest = &o;
    }
  }
  return nearest;
}

}  // namespace pelagon2::platform::wayland
