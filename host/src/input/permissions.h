#pragma once
// The Accessibility and Screen Recording permissions: status, request, and
// the settings page where the user grants them. Every call asks the platform
// afresh.

#include "core/json.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::input {

// {"accessibility": bool, "screenRecording": bool}; reads no parameters.
Outcome get_permission_status(const Json& params, platform::Platform& platform);

// {"granted": bool, "kind": kind}; asks the system only when not yet granted.
Outcome request_permission(const Json& params, platform::Platform& platform);

// Opens the settings page of `kind`; true once the opener has started.
Outcome open_permission_pane(const Json& params, platform::Platform& platform);

}  // namespace pelagon2::input
