#pragma once
// The display methods, on the display list of the screen layer.

#include "core/json.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::cv {

// get_display_list: one object per active display.
Outcome get_display_list(const Json& params, platform::Platform& platform);

// get_desktop_dpi: {"dpiX", "dpiY"}, 96 x the desktop scale.
Outcome get_desktop_dpi(const Json& params, platform::Platform& platform);

}  // namespace pelagon2::cv
