#pragma once
// One-level directory listings: files, directories, or everything with an
// optional extension filter. Names come back sorted by their UTF-8 bytes.

#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"
#include "core/outcome.h"

namespace pelagon2::files {

Outcome get_files(const Json& params);
Outcome get_directories(const Json& params);
Outcome get_file_system_entries(const Json& params);

// The Unicode default full lowercase mapping (final sigma included) of UTF-8
// text; invalid bytes become U+FFFD first.
std::string unicode_lower(std::string_view utf8);

// An extension as the filter compares it: leading dots removed, lower-cased.
std::string normalise_extension(std::string_view extension);

// Whether a lower-cased name ends with "." followed by one of `extensions`
// (already normalised).
bool matches_extension(std::string_view lowered_name, const std::vector<std::string>& extensions);

}  // namespace pelagon2::files
