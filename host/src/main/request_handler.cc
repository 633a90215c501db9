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

// get_version reads no parameters.
Outcome get_version(const Json&, platform::Platform&) { return Json(std::string(kHostVersion)); }

// Each name is written only here; the modules export the implementations.
constexpr MethodRow kMethods[] = {
    {"get_version", get_version},
    {"get_image_info", without_platform<cv::get_image_info>},
    {"read_all_text", files::guarded<files::read_all_text>},
    {"read_all_bytes", files::guarded<files::read_all_bytes>},
    {"read_file_range", files::guarded<files::read_file_range>},
    {"get_max_file_range", files::guarded<files::get_max_file_range>},
    {"write_all_text", files::guarded<files::write_all_text>},
    {"append_all_text", files::guarded<files::append_all_text>},
    {"write_all_bytes", files::guarded<files::write_all_bytes>},
    {"append_all_bytes", files::guarded<files::append_all_bytes>},
    {"run_process", files::guarded<files::run_process>},
    {"search_image", without_platform<cv::search_image>},
    {"search_relative", cv::search_relative},
    {"file_exists", files::guarded<files::file_exists>},
    {"directory_exists", files::guarded<files::directory_exists>},
    {"get_file_size", files::guarded<files::get_file_size>},
    {"get_file_system_entry_info", files::guarded<files::get_file_system_entry_info>},
    {"get_special_folder_path", files::guarded<files::get_special_folder_path>},
    {"get_files", files::guarded<files::get_files>},
    {"get_directories", files::guarded<files::get_directories>},
    {"get_file_system_entries", files::guarded<files::get_file_system_entries>},
    {"copy_file", files::guarded<files::copy_file>},
    {"move_file", files::guarded<files::move_file>},
    {"delete_file", files::guarded<files::delete_file>},
    {"create_directory", files::guarded<files::create_directory>},
    {"remove_directory", files::guarded<files::remove_directory>},
    {"get_active_browser_outer_rect", input::get_active_browser_outer_rect},
    {"get_permission_status", input::get_permission_status},
    {"request_permission", input::request_permission},
    {"open_permission_pane", input::open_permission_pane},
    {"search_desktop", cv::search_desktop},
    {"wait_for_image", cv::wait_for_image},
    {"capture_desktop", cv::capture_desktop},
    {"get_display_list", cv::get_display_list},
    {"get_desktop_dpi", cv::get_desktop_dpi},
    {"get_screen_backing_scale_factor", input::get_screen_backing_scale_factor},
    {"find_color_regions", input::find_color_regions},
    {"find_rectangle", input::find_rectangle},
    {"send_mouse_event", input::send_mouse_event},
    {"send_mouse_wheel_event", input::send_mouse_wheel_event},
    {"send_text", input::send_text},
    {"ocr_image", ocr::ocr_image},
    {"ocr_language_list", ocr::ocr_language_list},
};

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
  return row->run(params, platform);
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
