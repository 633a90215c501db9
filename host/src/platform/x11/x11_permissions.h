#pragma once
// X has no privacy permissions; input is possible where XTest is.

#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform::x11 {

std::unique_ptr<Permissions> make_permissions();

}  // namespace pelagon2::platform::x11
