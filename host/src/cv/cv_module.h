#pragma once
// Entry point of the cv module: image parameters, screen and search methods.

#include <string_view>

#include "core/json.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::cv {

// Answers one of the module's methods; the method table routes only names the
// module implements.
Outcome handle(std::string_view method, const Json& params, platform::Platform& platform);

}  // namespace pelagon2::cv
