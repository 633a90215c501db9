#include "cv/cv_module.h"

#include "core/method_rows.h"
#include "cv/desktop_search.h"
#include "cv/displays.h"
#include "cv/image_input.h"
#include "cv/screen_capture.h"
#include "cv/search_methods.h"

namespace pelagon2::cv {
namespace {

// One row per method this module answers (the host's method table lists the
// same names).
constexpr MethodImplementation kCvMethods[] = {
    {"get_image_info", get_image_info},
    {"search_image", search_image},
};

// Rows of the methods that capture or query the screen.
constexpr PlatformMethodImplementation kCvScreenMethods[] = {
    {"search_relative", search_relative},
    {"search_desktop", search_desktop},
    {"wait_for_image", wait_for_image},
    {"capture_desktop", capture_desktop},
    {"get_display_list", get_display_list},
    {"get_desktop_dpi", get_desktop_dpi},
};

}  // namespace

Outcome handle(std::string_view method, const Json& params, platform::Platform& platform) {
  for (const PlatformMethodImplementation& row : kCvScreenMethods) {
    if (row.name == method) return row.run(params, platform);
  }
  return call_method_row(kCvMethods, method, params);
}

}  // namespace pelagon2::cv
