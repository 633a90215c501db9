#pragma once
// The Wayland backend lives in a library of its own beside the executable
// (it brings wayland-client, PipeWire and GIO), which the host loads only in a
// Wayland session: X11 users and the start-up of every other host pay nothing.

#include <string>

#include "platform/platform.h"

namespace pelagon2::platform::wayland {

// In a Wayland session, replaces `platform`'s screen, window, permission and
// input services with the Wayland backend's, keeping the rest (recognition,
// settings). Outside one, or when the library is missing or no route serves
// the session, `platform` stays as it is (XWayland still serves X11 clients).
// Returns what was done, for diagnostics: the route's name or the reason.
std::string adopt_wayland_services(Platform& platform);

}  // namespace pelagon2::platform::wayland
