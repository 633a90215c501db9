#pragma once
// The routes of the Wayland library. Each probe answers within the backend's
// deadline; each factory returns the services of its route, built on the
// display-less platform, or nullptr when the route cannot serve the session.
// A route connects lazily and again after its compositor or PipeWire is gone.

#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform::wayland {

namespace wlr {
// The compositor on $WAYLAND_DISPLAY offers wlr-screencopy, wlr virtual
// pointer and the virtual keyboard.
bool offered();
std::unique_ptr<Platform> make_platform();
}  // namespace wlr

namespace gnome {
// org.gnome.Mutter.RemoteDesktop has an owner on the session bus.
bool mutter_offered();
// The desktop portal is on the session bus (running or activatable).
bool portal_offered();
std::unique_ptr<Platform> make_mutter_platform();
std::unique_ptr<Platform> make_portal_platform();
}  // namespace gnome

}  // namespace pelagon2::platform::wayland
