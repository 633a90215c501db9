#pragma once
// Parameter reading and error texts shared by every method of the files module.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/file_io.h"  // UniqueFd, DirHandle, contains_nul
#include "core/json.h"
#include "core/os_error.h"  // os_error_text, the texts of every failure here
#include "core/outcome.h"

namespace pelagon2::files {

// The member `key` when `params` is an object holding it as a string;
// otherwise the error "Missing string param '{key}'".
Expected<std::string> string_param(const Json& params, std::string_view key);

}  // namespace pelagon2::files
