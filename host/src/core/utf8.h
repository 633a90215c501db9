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

// The Unicode scalar values of `bytes`, each maximal invalid subpart read as
// U+FFFD (the same rule as utf8_lossy).
std::u32string utf8_code_points(std::string_view bytes);

// Appends the UTF-8 form of a scalar value (U+FFFD for a surrogate or a value
// beyond U+10FFFF).
void append_utf8(std::string& out, char32_t code_point);

}  // namespace pelagon2
