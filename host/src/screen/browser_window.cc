#include "screen/browser_window.h"

#include <algorithm>
#include <vector>

#include "vision_core/rounding.h"

namespace pelagon2::screen {

std::optional<WindowRect> browser_window_rect(platform::WindowList& windows) {
  const std::vector<std::int32_t> pids = windows.browser_pids();
  // Without a browser there is no reason to read the window list at all.
  if (pids.empty()) return std::nullopt;
  const std::optional<std::vector<platform::WindowRecord>> list = windows.front_to_back();
  if (!list) return std::nullopt;

  for (const platform::WindowRecord& window : *list) {
    // An entry without an owner means the list cannot be trusted further.
    if (!window.owner_pid) return std::nullopt;
    const auto pid = static_cast<std::int32_t>(*window.owner_pid);
    if (std::find(pids.begin(), pids.end(), pid) == pids.end()) continue;
    if (!window.layer || *window.layer != 0) continue;
    if (window.bounds_state != platform::WindowRecord::BoundsState::ok) return std::nullopt;
    using vision_core::saturate_to;
    return WindowRect{saturate_to<std::int32_t>(window.x), saturate_to<std::int32_t>(window.y),
                      saturate_to<std::int32_t>(window.width), saturate_to<std::int32_t>(window.height)};
  }
  return std::nullopt;
}

}  // namespace pelagon2::screen
