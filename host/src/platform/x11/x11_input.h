#pragma once
// Input synthesis on X11: XTest events, the core keyboard map and XKB over
// XCB, behind the X11Keyboard the input model (x11_keyboard.h) drives.

#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform::x11 {

std::unique_ptr<InputBackend> make_input(Clock& clock = system_clock());

}  // namespace pelagon2::platform::x11
