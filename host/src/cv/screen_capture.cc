#include "cv/screen_capture.h"

#include <cstdlib>
#include <utility>

#include "core/posix.h"
#include "core/utf8.h"
#include "cv/png_output.h"
#include "screen/capture.h"

namespace pelagon2::cv {
namespace {

constexpr const char* kCaptureFileName = "tidewell_desktop_capture.png";

}  // namespace

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
  const std::string* given = string_member(params, "path");
  const std::string path = given != nullptr ? *given : default_capture_path();
  Expected<screen::CaptureRecord> capture = screen::capture_display(platform);
  if (!capture) return std::move(capture).take_error();
  Done written =
      write_png_file(capture->pixels, capture->width, capture->height, PngColor::rgba, 96.0 * capture->scale, path);
  if (!written) return std::move(written).take_error();
  return Json(utf8_lossy(path));
}

}  // namespace pelagon2::cv
