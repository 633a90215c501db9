#pragma once
// Entry point of the files module: file-system queries, listings, contents,
// changes and shell commands.

#include <string_view>

#include "core/json.h"
#include "core/outcome.h"

namespace pelagon2::files {

// Answers one of the module's methods; the method table routes only names the
// module implements.
Outcome handle(std::string_view method, const Json& params);

}  // namespace pelagon2::files
