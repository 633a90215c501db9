#pragma once
// get_active_browser_outer_rect, on the browser-window rule of the screen layer.

#include "core/json.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::input {

// get_active_browser_outer_rect: the rectangle as {height, width, x, y}, or null.
Outcome get_active_browser_outer_rect(const Json& params, platform::Platform& platform);

}  // namespace pelagon2::input
