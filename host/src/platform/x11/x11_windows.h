#pragma once
// The window list of the X server, and the browsers running on this machine.

#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform::x11 {

std::unique_ptr<WindowList> make_window_list();

}  // namespace pelagon2::platform::x11
