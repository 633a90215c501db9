#include "input/permissions.h"

#include <string>
#include <string_view>

namespace pelagon2::input {
namespace {

constexpr std::string_view kAccessibility = "accessibility";
constexpr std::string_view kScreenRecording = "screenRecording";

Expected<std::string> read_kind(const Json& params) {
  if (const std::string* kind = string_member(params, "kind")) return *kind;
  return make_error("bad_params: missing 'kind' (accessibility | screenRecording)");
}

}  // namespace

Outcome get_permission_status(const Json& /*params*/, platform::Platform& platform) {
  return Json{{"accessibility", platform.permissions->accessibility_trusted()},
              {"screenRecording", platform.capture->preflight_access()}};
}

Outcome request_permission(const Json& params, platform::Platform& platform) {
  Expected<std::string> kind = read_kind(params);
  if (!kind) return std::move(kind).take_error();
  bool granted = false;
  if (*kind == kScreenRecording) {
    granted = platform.capture->preflight_access() || platform.capture->request_access();
  } else if (*kind == kAccessibility) {
    granted = platform.permissions->accessibility_trusted() || platform.permissions->request_accessibility();
  } else {
    return make_error("bad_params: unknown permission kind '" + *kind + "'");
  }
  return Json{{"granted", granted}, {"kind", *kind}};
}

Outcome open_permission_pane(const Json& params, platform::Platform& platform) {
  Expected<std::string> kind = read_kind(params);
  if (!kind) return std::move(kind).take_error();
  std::string_view anchor;
  if (*kind == kAccessibility) {
    anchor = "Privacy_Accessibility";
  } else if (*kind == kScreenRecording) {
    anchor = "Privacy_ScreenCapture";
  } else {
    return make_error("bad_params: unknown permission pane '" + *kind + "'");
  }
  const std::string address = "x-apple.systempreferences:com.apple.preference.security?" + std::string(anchor);
  Done opened = platform.settings->open(address);
  if (!opened) return make_error("open_failed: " + opened.error());
  return Json(true);
}

}  // namespace pelagon2::input
