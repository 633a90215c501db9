#pragma once
// Every picture of the screen comes from here: the target display captured at
// its native resolution behind the Screen Recording gate.

#include <cstdint>
#include <vector>

#include "core/outcome.h"
#include "platform/platform.h"
#include "vision_core/image.h"

namespace pelagon2::screen {

// The target display's pixels as RGBA, with where they came from.
struct CaptureRecord {
  std::vector<std::uint8_t> pixels;  // width * height * 4, rows packed
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t display_id = 0;
  std::int32_t origin_x = 0;  // display origin in global points
  std::int32_t origin_y = 0;
  double scale = 1.0;
};

// A capture as the searches consume it: RGB at 96 x scale DPI, and the screen-pixel
// position of its top-left pixel (display origin x scale).
struct RgbCapture {
  vision_core::RgbImage image;
  double dpi = 96.0;
  double origin_x = 0;
  double origin_y = 0;
};

// Errors: "screen_recording_denied: …" when the permission is refused (the
// system prompt is requested first), "capture_failed: …" for the display and
// the capture.
Expected<CaptureRecord> capture_display(platform::Platform& platform);
Expected<RgbCapture> capture_display_rgb(platform::Platform& platform);

}  // namespace pelagon2::screen
