#include "screen/capture.h"

#include <cstddef>
#include <utility>

#include "screen/capture_pixels.h"
#include "screen/displays.h"

namespace pelagon2::screen {
namespace {

constexpr const char* kScreenRecordingDenied =
    "screen_recording_denied: macOS Screen Recording is not granted to pelagon2 \xE2\x80\x94 an Allow prompt was "
    "requested; approve it in System Settings > Privacy & Security > Screen & System Audio Recording, then retry";

// A platform capture that passed every check, with the display it shows.
struct Frame {
  platform::RawCapture raw;
  TargetDisplay target;
};

// Enough complete rows of at least width x 4 bytes for the whole image.
bool holds_image(const platform::RawCapture& raw) {
  const std::size_t row_bytes = std::size_t{raw.width} * 4;
  if (row_bytes == 0 || raw.height == 0) return true;
  // Shorter rows would overlap the next one; a real capture never has them.
  if (raw.bytes_per_row < row_bytes) return false;
  return raw.bytes.size() / raw.bytes_per_row >= raw.height;
}

Expected<Frame> take_frame(platform::Platform& platform) {
  // The request is what makes the system show its prompt, so it is made on
  // every refused attempt, not once per process.
  if (platform.capture->access_gated() && !platform.capture->preflight_access() &&
      !platform.capture->request_access()) {
    return make_error(kScreenRecordingDenied);
  }
  Expected<TargetDisplay> target = choose_target_display(platform);
  if (!target) return std::move(target).take_error();
  Expected<platform::RawCapture> raw = platform.capture->capture(target->display);
  if (!raw) return make_error("capture_failed: " + raw.error());
  if (raw->bytes.empty()) return make_error("capture_failed: Failed to copy data");
  if (!holds_image(*raw)) return make_error("capture_failed: RgbaImage::from_raw failed");
  return Frame{*raw, std::move(*target)};
}

}  // namespace

Expected<CaptureRecord> capture_display(platform::Platform& platform) {
  Expected<Frame> frame = take_frame(platform);
  if (!frame) return std::move(frame).take_error();
  const platform::RawCapture& raw = frame->raw;
  CaptureRecord record;
  record.width = raw.width;
  record.height = raw.height;
  record.display_id = frame->target.id;
  record.origin_x = frame->target.x;
  record.origin_y = frame->target.y;
  record.scale = frame->target.scale;
  const std::size_t row_bytes = std::size_t{raw.width} * 4;
  record.pixels.resize(row_bytes * raw.height);
  const bool opaque = raw.order == platform::PixelOrder::bgrx;
  for (std::uint32_t y = 0; y < raw.height; ++y) {
    bgra_to_rgba(raw.bytes.data() + y * raw.bytes_per_row, record.pixels.data() + y * row_bytes, raw.width, opaque);
  }
  return record;
}

Expected<RgbCapture> capture_display_rgb(platform::Platform& platform) {
  Expected<Frame> frame = take_frame(platform);
  if (!frame) return std::move(frame).take_error();
  const platform::RawCapture& raw = frame->raw;
  RgbCapture capture;
  capture.image = vision_core::RgbImage(raw.width, raw.height);
  const std::size_t row_bytes = std::size_t{raw.width} * 3;
  std::uint8_t* out = capture.image.pixels.data();
  for (std::uint32_t y = 0; y < raw.height; ++y) {
    bgra_to_rgb(raw.bytes.data() + y * raw.bytes_per_row, out + y * row_bytes, raw.width);
  }
  const double scale = frame->target.scale;
  capture.dpi = 96.0 * scale;
  capture.origin_x = static_cast<double>(frame->target.x) * scale;
  capture.origin_y = static_cast<double>(frame->target.y) * scale;
  return capture;
}

}  // namespace pelagon2::screen
