#pragma once
// Methods that look at one path without changing anything: existence tests,
// size, the metadata record and the special folders.

#include <cstdint>
#include <optional>
#include <string>

#include "core/json.h"
#include "core/outcome.h"

namespace pelagon2::files {

Outcome file_exists(const Json& params);
Outcome directory_exists(const Json& params);
Outcome get_file_size(const Json& params);
Outcome get_file_system_entry_info(const Json& params);
Outcome get_special_folder_path(const Json& params);

// A modification time as whole milliseconds since the epoch, the fraction of a
// millisecond dropped; 0 for times before the epoch, out-of-range nanoseconds
// and times too far ahead to count in 64 bits.
std::uint64_t last_write_millis(std::int64_t seconds, std::int64_t nanoseconds);

// HOME when set and not empty, else the user database's home directory for the
// real user id; nullopt when neither gives one. Raw bytes, not yet UTF-8.
std::optional<std::string> home_directory();

}  // namespace pelagon2::files
