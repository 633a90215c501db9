// Placeholder until the GNOME and portal routes land: both report as absent.
#include "platform/wayland/wayland_routes.h"

namespace pelagon2::platform::wayland::gnome {

bool mutter_offered() { return false; }
bool portal_offered() { return false; }
std::unique_ptr<Platform> make_mutter_platform() { return nullptr; }
std::unique_ptr<Platform> make_portal_platform() { return nullptr; }

}  // namespace pelagon2::platform::wayland::gnome
