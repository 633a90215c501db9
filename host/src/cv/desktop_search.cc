#include "cv/desktop_search.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "core/utf8.h"
#include "cv/png_output.h"
#include "cv/screen_capture.h"
#include "cv/search_methods.h"
#include "cv/search_options.h"
#include "vision_core/rounding.h"

namespace pelagon2::cv {
namespace {

using vision_core::round_to;
using vision_core::saturate_to;

constexpr std::uint64_t kDefaultTimeoutMs = 10000;
constexpr std::uint64_t kDefaultIntervalMs = 200;
constexpr std::uint64_t kMinIntervalMs = 20;

// The capture searched with `options` (whose searchArea is in screen pixels),
// results in screen pixels.
Expected<std::vector<MatchRecord>> search_capture(const screen::RgbCapture& capture, const DecodedImage& pattern,
                                                  const SearchOptions& options) {
  Expected<std::vector<MatchRecord>> matches =
      search_pattern(capture.image.view(), pattern.image.view(), options, capture.dpi, pattern.dpi);
  if (matches) offset_matches(*matches, screen_pixel_offset(capture));
  return matches;
}

// One wait attempt: a fresh capture searched with a copy of the options, so
// every attempt reads the area as the request gave it. The capture is gone
// when this returns, before any sleep.
Expected<std::vector<MatchRecord>> search_fresh_capture(platform::Platform& platform, const DecodedImage& pattern,
                                                        const SearchOptions& options) {
  Expected<screen::RgbCapture> capture = screen::capture_display_rgb(platform);
  if (!capture) return std::move(capture).take_error();
  SearchOptions attempt = options;
  rewrite_search_area(attempt.options, *capture);
  return search_capture(*capture, pattern, attempt);
}

}  // namespace

PixelOffset screen_pixel_offset(const screen::RgbCapture& capture) {
  return PixelOffset{round_to<std::int32_t>(capture.origin_x), round_to<std::int32_t>(capture.origin_y)};
}

void offset_matches(std::vector<MatchRecord>& matches, PixelOffset offset) {
  for (MatchRecord& m : matches) {
    m.x = saturate_to<std::int32_t>(std::int64_t{m.x} + offset.x);
    m.y = saturate_to<std::int32_t>(std::int64_t{m.y} + offset.y);
  }
}

void rewrite_search_area(Json& options, const screen::RgbCapture& capture) {
  if (!options.is_object()) return;
  const auto area = options.find("searchArea");
  if (area == options.end() || !area->is_object()) return;
  const std::pair<const char*, double> origins[] = {{"x", capture.origin_x}, {"y", capture.origin_y}};
  for (const auto& [key, origin] : origins) {
    const auto member = area->find(key);
    if (member != area->end() && member->is_number()) *member = finite_or_null(member->get<double>() - origin);
  }
}

Outcome search_desktop(const Json& params, platform::Platform& platform) {
  Expected<SearchOptions> options = parse_search_options(params);
  if (!options) return std::move(options).take_error();
  Expected<DecodedImage> pattern = required_image_param(params, "pattern");
  if (!pattern) return std::move(pattern).take_error();
  Expected<screen::RgbCapture> capture = screen::capture_display_rgb(platform);
  if (!capture) return std::move(capture).take_error();
  rewrite_search_area(options->options, *capture);

  std::optional<std::string> saved;
  if (option_is_true(options->options, "saveCaptureOnDisk")) {
    const std::string* given = string_member(options->options, "capturePath");
    const std::string path = given != nullptr ? *given : default_capture_path();
    const vision_core::RgbImage& image = capture->image;
    Done written = write_png_file(image.pixels, image.width, image.height, PngColor::rgb, capture->dpi, path);
    if (!written) return std::move(written).take_error();
    saved = utf8_lossy(path);
  }

  Expected<std::vector<MatchRecord>> matches = search_capture(*capture, *pattern, *options);
  if (!matches) return std::move(matches).take_error();
  return build_search_reply(*matches, saved);
}

Outcome wait_for_image(const Json& params, platform::Platform& platform) {
  return wait_for_image(params, platform, platform::system_clock());
}

Outcome wait_for_image(const Json& params, platform::Platform& platform, platform::Clock& clock) {
  Expected<SearchOptions> options = parse_search_options(params);
  if (!options) return std::move(options).take_error();
  Expected<DecodedImage> pattern = required_image_param(params, "pattern");
  if (!pattern) return std::move(pattern).take_error();
  const std::uint64_t timeout = unsigned_member(params, "timeoutMs").value_or(kDefaultTimeoutMs);
  const std::uint64_t interval =
      std::max(unsigned_member(params, "intervalMs").value_or(kDefaultIntervalMs), kMinIntervalMs);
  // An interval past what the clock counts (about 292 years) sleeps as long as it can.
  constexpr std::uint64_t kLongestMs = platform::Clock::Duration::max().count() / 1'000'000;
  const platform::Clock::Duration sleep_time =
      interval > kLongestMs ? platform::Clock::Duration::max()
                            : std::chrono::milliseconds(static_cast<std::int64_t>(interval));

  const platform::Clock::Duration start = clock.now();
  for (;;) {
    Expected<std::vector<MatchRecord>> matches = search_fresh_capture(platform, *pattern, *options);
    if (!matches) return std::move(matches).take_error();

    const platform::Clock::Duration since = clock.now() - start;
    const std::uint64_t elapsed =
        since > platform::Clock::Duration::zero()
            ? static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count())
            : 0;
    const bool found = !matches->empty();
    if (found || elapsed >= timeout) {
      Json reply = build_search_reply(found ? *matches : std::vector<MatchRecord>{});
      reply["elapsedMs"] = elapsed;
      reply["found"] = found;
      return reply;
    }
    clock.sleep(sleep_time);
  }
}

}  // namespace pelagon2::cv
