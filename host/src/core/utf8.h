#pragma once
// Text from the operating system (file names, process output) as UTF-8.

#include <string>
#include <string_view>

namespace pelagon2 {

// Copies `bytes`, replacing each maximal invalid subpart with U+FFFD (the
// Unicode / WHATWG "replacement per maximal subpart" practice). A multi-byte
// character cut off at the end becomes one U+FFFD.
std::string utf8_lossy(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

}  // namespace pelagon2
