#include "files/files_module.h"

#include "core/method_rows.h"
#include "files/directory_listing.h"
#include "files/file_changes.h"
#include "files/file_contents.h"
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

}  // namespace

Outcome handle(std::string_view method, const Json& params) { return call_method_row(kFilesMethods, method, params); }

}  // namespace pelagon2::files
