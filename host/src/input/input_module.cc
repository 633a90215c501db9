#include "input/input_module.h"

#include "core/method_rows.h"
#include "input/backing_scale.h"
#include "input/browser_window.h"
#include "input/input_methods.h"

namespace pelagon2::input {
namespace {

// One row per method this module answers (the host's method table lists the
// same names).
constexpr PlatformMethodImplementation kInputMethods[] = {
    {"get_active_browser_outer_rect", get_active_browser_outer_rect},
    {"get_screen_backing_scale_factor", get_screen_backing_scale_factor},
    {"send_mouse_event", send_mouse_event},
    {"send_mouse_wheel_event", send_mouse_wheel_event},
    {"send_text", send_text},
};

}  // namespace

Outcome handle(std::string_view method, const Json& params, platform::Platform& platform) {
  return call_method_row(kInputMethods, method, params, platform);
}

}  // namespace pelagon2::input
