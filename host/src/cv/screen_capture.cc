#include "cv/screen_capture.h"

#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "core/utf8.h"
#include "cv/capture_pixels.h"
#include "cv/png_output.h"
#include "screen/displays.h"

namespace pelagon2::cv {
namespace {

using screen::TargetDisplay;

constexpr const char* kScreenRecordingDenied =
    "screen_recording_denied: macOS Screen Recording is not granted to pelagon2 \xE2\x80\x94 an Allow prompt was "
    "requested; approve it in System Settings > Privacy & Security > Screen & System Audio Recording, then retry";

constexpr const char* kCaptureFileName = "tidewell_desktop_capture.png";

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
  Expected<TargetDisplay> target = screen::choose_target_display(platform);
  if (!target) return std::move(target).take_error();
  Expected<platform::RawCapture> raw = platform.capture->capture(target->display);
  if (!raw) return make_error("capture_failed: " + raw.error());
  if (raw->bytes.empty()) return make_error("capture_failed: Failed to copy data");
  if (!holds_image(*raw)) return make_error("capture_failed: RgbaImage::from_raw failed");
  return Frame{*raw, std::move(*target)};
}

// The per-user temporary directory the system reports, where it has one.
std::string system_user_temp_dir() {
#ifdef _CS_DARWIN_USER_TEMP_DIR
  std::string dir(1024, '\0');
  std::size_t needed = confstr(_CS_DARWIN_USER_TEMP_DIR, dir.data(), dir.size());
  if (needed > dir.size()) {
    dir.assign(needed, '\0');
    needed = confstr(_CS_DARWIN_USER_TEMP_DIR, dir.data(), dir.size());
  }
  if (needed == 0 || needed > dir.size()) return std::string();
  dir.resize(needed - 1);  // the count includes the terminating NUL
  return dir;
#else
  return std::string();
#endif
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

std::string default_capture_path() {
  std::string dir;
  // An empty TMPDIR names no directory; joining it would point at the root.
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
    dir = tmpdir;
  } else {
    dir = system_user_temp_dir();
    if (dir.empty()) dir = "/tmp";
  }
  if (dir.back() != '/') dir += '/';
  return dir + kCaptureFileName;
}

Outcome capture_desktop(const Json& params, platform::Platform& platform) {
  // A string is used as it is; anything else counts as absent.
  const Json* given = nullptr;
  if (params.is_object()) {
    const auto it = params.find("path");
    if (it != params.end() && it->is_string()) given = &*it;
  }
  const std::string path = given != nullptr ? given->get<std::string>() : default_capture_path();
  Expected<CaptureRecord> capture = capture_display(platform);
  if (!capture) return std::move(capture).take_error();
  Done written =
      write_png_file(capture->pixels, capture->width, capture->height, PngColor::rgba, 96.0 * capture->scale, path);
  if (!written) return std::move(written).take_error();
  return Json(utf8_lossy(path));
}

}  // namespace pelagon2::cv
