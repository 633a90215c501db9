// The Wayland library's one entry point: probes the session and builds the
// services of the route that serves it.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/wayland/wayland_model.h"
#include "platform/wayland/wayland_module.h"
#include "platform/wayland/wayland_routes.h"

namespace pelagon2::platform::wayland {
namespace {

void set_reason(char* why, std::size_t why_size, const std::string& text) {
  if (why == nullptr || why_size == 0) return;
  const std::size_t n = std::min(text.size(), why_size - 1);
  std::memcpy(why, text.data(), n);
  why[n] = '\0';
}

std::unique_ptr<Platform> make_route(Route route) {
  switch (route) {
    case Route::wlroots:
      return wlr::make_platform();
    case Route::gnome:
      return gnome::make_mutter_platform();
    case Route::portal:
      return gnome::make_portal_platform();
  }
  return nullptr;
}

}  // namespace
}  // namespace pelagon2::platform::wayland

extern "C" __attribute__((visibility("default"))) pelagon2::platform::Platform* pelagon2_wayland_platform(
    std::uint32_t interface_version, char* why, std::size_t why_size) {
  using namespace pelagon2::platform::wayland;
  if (interface_version != kModuleInterfaceVersion) {
    set_reason(why, why_size, "the Wayland library does not match this host");
    return nullptr;
  }
  const char* forced = std::getenv("PELAGON2_WAYLAND_ROUTE");
  RouteOffer offer;
  // Each probe costs a round trip: the first route offered ends them, and a
  // forced route probes only itself.
  const std::optional<Route> wanted = choose_route(RouteOffer{}, forced);
  const bool is_forced = forced != nullptr && *forced != '\0';
  if (!is_forced || wanted == Route::wlroots) offer.wlroots_globals = wlr::offered();
  if ((!is_forced && !offer.wlroots_globals) || wanted == Route::gnome) offer.mutter_on_bus = gnome::mutter_offered();
  if ((!is_forced && !offer.wlroots_globals && !offer.mutter_on_bus) || wanted == Route::portal) {
    offer.portal_on_bus = gnome::portal_offered();
  }
  // A forced route that is not there leaves the host as if none were offered.
  const std::optional<Route> route = choose_route(offer, is_forced ? nullptr : forced);
  if (!route || (is_forced && route != wanted)) {
    set_reason(why, why_size, "no Wayland route serves this session");
    return nullptr;
  }
  std::unique_ptr<pelagon2::platform::Platform> platform = make_route(*route);
  if (!platform) {
    set_reason(why, why_size, std::string(route_name(*route)) + " route unavailable");
    return nullptr;
  }
  set_reason(why, why_size, std::string(route_name(*route)));
  return platform.release();
}
