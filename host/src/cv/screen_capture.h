#pragma once
// capture_desktop: the target display's capture written as a PNG file.

#include <string>

#include "core/json.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::cv {

// Where captures are written when the request names no file: the temporary
// directory joined with "tidewell_desktop_capture.png".
std::string default_capture_path();

// capture_desktop: the target display as an RGBA PNG at `path` or the default
// path; replies with the path.
Outcome capture_desktop(const Json& params, platform::Platform& platform);

}  // namespace pelagon2::cv
