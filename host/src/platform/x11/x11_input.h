#pragma once
// Input synthesis on X11 through the XTest extension.

#include <chrono>
#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform::x11 {

// How long a borrowed key code keeps its character after the server has
// processed the last key event that used it. Applications re-read the keyboard
// map when the MappingNotify of the borrowing reaches them, which can be after
// our events were processed; changing the map back too early makes them read
// the restored map and see the wrong character.
inline constexpr std::chrono::milliseconds kRemapSettle{50};

std::unique_ptr<InputBackend> make_input(InputClock& clock = system_input_clock());

}  // namespace pelagon2::platform::x11
