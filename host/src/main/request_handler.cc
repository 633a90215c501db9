#include "main/request_handler.h"

#include <algorithm>
#include <array>
#include <new>
#include <stdexcept>
#include <string>

#include "cv/cv_module.h"
#include "files/files_module.h"
#include "input/input_module.h"
#include "ocr/ocr_module.h"

namespace pelagon2 {
namespace {

constexpr MethodRow kMethods[] = {
    {"get_version", Module::main},
    {"get_image_info", Module::cv},
    {"read_all_text", Module::files},
    {"read_all_bytes", Module::files},
    {"read_file_range", Module::files},
    {"get_max_file_range", Module::files},
    {"write_all_text", Module::files},
    {"append_all_text", Module::files},
    {"write_all_bytes", Module::files},
    {"append_all_bytes", Module::files},
    {"run_process", Module::files},
    {"search_image", Module::cv},
    {"search_relative", Module::cv},
    {"file_exists", Module::files},
    {"directory_exists", Module::files},
    {"get_file_size", Module::files},
    {"get_file_system_entry_info", Module::files},
    {"get_special_folder_path", Module::files},
    {"get_files", Module::files},
    {"get_directories", Module::files},
    {"get_file_system_entries", Module::files},
    {"copy_file", Module::files},
    {"move_file", Module::files},
    {"delete_file", Module::files},
    {"create_directory", Module::files},
    {"remove_directory", Module::files},
    {"get_active_browser_outer_rect", Module::input},
    {"get_permission_status", Module::input},
    {"request_permission", Module::input},
    {"open_permission_pane", Module::input},
    {"search_desktop", Module::cv},
    {"wait_for_image", Module::cv},
    {"capture_desktop", Module::cv},
    {"get_display_list", Module::cv},
    {"get_desktop_dpi", Module::cv},
    {"get_screen_backing_scale_factor", Module::input},
    {"find_color_regions", Module::input},
    {"find_rectangle", Module::input},
    {"send_mouse_event", Module::input},
    {"send_mouse_wheel_event", Module::input},
    {"send_text", Module::input},
    {"ocr_image", Module::ocr},
    {"ocr_language_list", Module::ocr},
};

Outcome call_module(Module module, std::string_view method, const Json& params, platform::Platform& platform) {
  switch (module) {
    case Module::main:
      return Json(std::string(kHostVersion));  // get_version reads no parameters
    case Module::cv:
      return cv::handle(method, params, platform);
    case Module::files:
      return files::handle(method, params);
    case Module::input:
      return input::handle(method, params, platform);
    case Module::ocr:
      return method == "ocr_image" ? ocr::ocr_image(params, platform) : ocr::ocr_language_list(params, platform);
  }
  return make_error("Unknown method: " + std::string(method));
}

const Json& member_or_null(const Json& object, const char* key) {
  static const Json kNull;
  if (!object.is_object()) return kNull;
  const auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

}  // namespace

std::span<const MethodRow> method_table() { return kMethods; }

Outcome dispatch_method(std::string_view method, const Json& params, platform::Platform& platform) {
  const auto* row = std::find_if(std::begin(kMethods), std::end(kMethods),
                                 [&](const MethodRow& r) { return r.name == method; });
  if (row == std::end(kMethods)) return make_error("Unknown method: " + std::string(method));
  return call_module(row->module, method, params, platform);
}

Json handle_request(const Json& request, platform::Platform& platform) {
  const Json& id = member_or_null(request, "id");
  const Json& method_value = member_or_null(request, "method");
  const Json& params = member_or_null(request, "params");
  const std::string_view method =
      method_value.is_string() ? std::string_view(method_value.get_ref<const std::string&>()) : std::string_view();

  Outcome outcome = make_error(std::string());
  try {
    outcome = dispatch_method(method, params, platform);
  } catch (const std::bad_alloc&) {
    // A request that needs more memory than the host can get fails alone;
    // the host goes on serving.
    outcome = make_error("out of memory while handling " + std::string(method));
  } catch (const std::length_error&) {
    outcome = make_error("out of memory while handling " + std::string(method));
  }
  Json reply = Json::object();
  reply["id"] = id;
  if (outcome.ok()) {
    reply["result"] = std::move(outcome).value();
  } else {
    reply["error"] = Json{{"message", outcome.error()}};
  }
  return reply;
}

}  // namespace pelagon2
