#pragma once
// Entry point of the input module: input events, permissions, the browser
// window, the colour searches and the backing scale query.

#include <string_view>

#include "core/json.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::input {

// Answers one of the module's methods; the method table routes only names the
// module implements.
Outcome handle(std::string_view method, const Json& params, platform::Platform& platform);

}  // namespace pelagon2::input
