// Placeholder until the wlroots route lands: it reports the route as absent.
#include "platform/wayland/wayland_routes.h"

namespace pelagon2::platform::wayland::wlr {

bool offered() { return false; }
std::unique_ptr<Platform> make_platform() { return nullptr; }

}  // namespace pelagon2::platform::wayland::wlr
