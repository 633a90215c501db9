#pragma once
// The outer rectangle of the frontmost on-screen window of a known browser.

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace pelagon2::screen {

// In global points, as the window list reports it.
struct WindowRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  friend bool operator==(const WindowRect&, const WindowRect&) = default;
};

// The frontmost normal-layer window owned by a running browser; nothing when
// no browser runs, no list comes back, or an entry cannot be read.
std::optional<WindowRect> browser_window_rect(platform::WindowList& windows);

}  // namespace pelagon2::screen
