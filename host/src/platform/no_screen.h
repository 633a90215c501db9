#pragma once
// A machine without a screen: no displays, nothing to capture, no window list,
// no input. Every answer is the one a display-less machine gives. Backends
// start from it and replace the services they provide.

#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform {

std::unique_ptr<Platform> create_no_screen_platform();

}  // namespace pelagon2::platform
