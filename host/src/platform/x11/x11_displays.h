#pragma once
// The X11 display list.

#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform::x11 {

// RandR 1.5 monitors of the DISPLAY server, asked afresh on every call and
// clipped to the root window.
std::unique_ptr<Displays> make_displays();

}  // namespace pelagon2::platform::x11
