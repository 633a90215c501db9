#pragma once
// The wlroots route's input: a virtual pointer and a virtual keyboard with an
// uploaded US keymap (wlr_input.cc).

#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform::wayland::wlr {

std::unique_ptr<InputBackend> make_input(Clock& clock);

}  // namespace pelagon2::platform::wayland::wlr
