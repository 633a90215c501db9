#pragma once
// The X11 capture service.

#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform::x11 {

// The root window read over MIT-SHM (a plain GetImage where shared memory
// cannot be used); the segment is kept for the next capture, its content is
// not. Captures need no permission and skip the capture routine's gate.
std::unique_ptr<ScreenCapture> make_screen_capture();

}  // namespace pelagon2::platform::x11
