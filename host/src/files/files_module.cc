#include "files/files_module.h"

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <new>
#include <stdexcept>

#include "core/method_rows.h"
#include "files/directory_listing.h"
#include "files/file_changes.h"
#include "files/file_contents.h"
#include "files/file_params.h"
#include "files/path_queries.h"
#include "files/run_process.h"

namespace pelagon2::files {
namespace {

// One row per method this module answers (the host's method table lists the
// same names).
constexpr MethodImplementation kFilesMethods[] = {
    {"file_exists", file_exists},
    {"directory_exists", directory_exists},
    {"get_file_size", get_file_size},
    {"get_file_system_entry_info", get_file_system_entry_info},
    {"get_special_folder_path", get_special_folder_path},
    {"get_files", get_files},
    {"get_directories", get_directories},
    {"get_file_system_entries", get_file_system_entries},
    {"read_all_text", read_all_text},
    {"read_all_bytes", read_all_bytes},
    {"read_file_range", read_file_range},
    {"get_max_file_range", get_max_file_range},
    {"write_all_text", write_all_text},
    {"append_all_text", append_all_text},
    {"write_all_bytes", write_all_bytes},
    {"append_all_bytes", append_all_bytes},
    {"copy_file", copy_file},
    {"move_file", move_file},
    {"delete_file", delete_file},
    {"create_directory", create_directory},
    {"remove_directory", remove_directory},
    {"run_process", run_process},
};

bool is_one_of(std::string_view method, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), method) != names.end();
}

// A method that runs out of memory fails the way it reports every other
// failure: whole-file reads and listings with errorCode 1, writes and changes
// with false, the rest with the operating system's text for ENOMEM.
Outcome out_of_memory(std::string_view method) {
  if (is_one_of(method, {"read_all_text", "read_all_bytes"})) return Json{{"content", ""}, {"errorCode", 1u}};
  if (is_one_of(method, {"get_files", "get_directories", "get_file_system_entries"})) {
    return Json{{"entries", Json::array()}, {"errorCode", 1u}};
  }
  if (is_one_of(method, {"write_all_text", "append_all_text", "write_all_bytes", "append_all_bytes", "copy_file",
                         "move_file", "delete_file", "create_directory", "remove_directory"})) {
    return Json(false);
  }
  return make_error(os_error_text(ENOMEM));
}

}  // namespace

Outcome handle(std::string_view method, const Json& params) {
  try {
    return call_method_row(kFilesMethods, method, params);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return out_of_memory(method);
}

}  // namespace pelagon2::files
