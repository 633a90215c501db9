#pragma once
// The backing scale of the display the host works on.

#include "core/json.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::input {

// get_screen_backing_scale_factor: the desktop scale as a float (null when not
// finite); ignores its params and never fails.
Outcome get_screen_backing_scale_factor(const Json& params, platform::Platform& platform);

}  // namespace pelagon2::input
