#include "files/files_module.h"

#include <algorithm>
#include <cerrno>
#include <initializer_list>

#include "core/os_error.h"

namespace pelagon2::files {
namespace {

bool is_one_of(FilesMethod method, std::initializer_list<FilesMethod> methods) {
  return std::find(methods.begin(), methods.end(), method) != methods.end();
}

}  // namespace

Outcome out_of_memory_reply(FilesMethod method) {
  if (is_one_of(method, {read_all_text, read_all_bytes})) return Json{{"content", ""}, {"errorCode", 1u}};
  if (is_one_of(method, {get_files, get_directories, get_file_system_entries})) {
    return Json{{"entries", Json::array()}, {"errorCode", 1u}};
  }
  if (is_one_of(method, {write_all_text, append_all_text, write_all_bytes, append_all_bytes, copy_file, move_file,
                         delete_file, create_directory, remove_directory})) {
    return Json(false);
  }
  return make_error(os_error_text(ENOMEM));
}

}  // namespace pelagon2::files
