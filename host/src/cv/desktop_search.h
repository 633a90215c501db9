#pragma once
// Searches on the screen: one capture (search_desktop) or captures repeated
// until the pattern shows up (wait_for_image). Results are in screen pixels.

#include <cstdint>
#include <vector>

#include "core/json.h"
#include "core/outcome.h"
#include "screen/capture.h"
#include "cv/search_pattern.h"
#include "platform/clock.h"
#include "platform/platform.h"

namespace pelagon2::cv {

// Screen-pixel position of a capture's top-left pixel, rounded.
struct PixelOffset {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

PixelOffset screen_pixel_offset(const screen::RgbCapture& capture);

// Moves matches from capture pixels to screen pixels (saturating).
void offset_matches(std::vector<MatchRecord>& matches, PixelOffset offset);

// `options.searchArea` is given in screen pixels: its numeric x and y become
// capture pixels (as floats, null when not finite).
void rewrite_search_area(Json& options, const screen::RgbCapture& capture);

// search_desktop: `pattern` on one capture of the target display, optionally
// saved (saveCaptureOnDisk, capturePath).
Outcome search_desktop(const Json& params, platform::Platform& platform);

// wait_for_image: captures and searches every intervalMs (at least 20, default
// 200) until a match or timeoutMs (default 10000) has passed; replies with
// `found` and `elapsedMs`. Waits on the system clock, or on `clock`.
Outcome wait_for_image(const Json& params, platform::Platform& platform);
Outcome wait_for_image(const Json& params, platform::Platform& platform, platform::Clock& clock);

}  // namespace pelagon2::cv
