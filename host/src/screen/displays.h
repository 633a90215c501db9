#pragma once
// The active displays, their geometry in points and pixels, and the target
// display that captures and scale queries refer to.

#include <cstdint>
#include <string>
#include <vector>

#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::screen {

// The most displays the host works with.
inline constexpr std::size_t kMaxDisplays = 16;

// One display's bounds in global points and its backing scale.
struct DisplayGeometry {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Mode pixel width / width in single precision, widened: infinite or NaN for
  // a display 0 points wide, 0 without a mode.
  double scale = 0.0;
};

DisplayGeometry display_geometry(const platform::DisplayRecord& display);

// The platform's active displays in its order, at most kMaxDisplays; the
// platform's error text when the list cannot be read.
Expected<std::vector<platform::DisplayRecord>> active_display_list(platform::Platform& platform);

struct TargetDisplay {
  platform::DisplayRecord display;  // as the platform reported it, for the capture
  std::uint32_t id = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  double scale = 0.0;
};

// The display holding most of the browser window (the later one on equal
// areas); without a window on any display the main display, else the first.
// Errors: "capture_failed: no monitors", "capture_failed: {list error}".
Expected<TargetDisplay> choose_target_display(platform::Platform& platform);

// The target display's scale; when there is none, the main screen's scale or 1.0.
double desktop_scale(platform::Platform& platform);

// The name of the screen carrying display `id`: the walk over the screen list
// stops at the first entry without a number; "Unknown Monitor {id}" when it
// ends without a match.
std::string display_name(std::uint32_t id, const std::vector<platform::ScreenRecord>& screens);

}  // namespace pelagon2::screen
