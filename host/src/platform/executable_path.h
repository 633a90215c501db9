#pragma once
// Where the running host's executable is: the libraries the host loads on
// demand (recognition, Wayland) sit beside it.

#include <string>

#include "core/outcome.h"

namespace pelagon2::platform {

// The executable's path from /proc/self/exe, or why it cannot be read.
Expected<std::string> executable_path();

}  // namespace pelagon2::platform
