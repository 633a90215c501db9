#pragma once
// The operating system's texts for errno values, as every reply shows them.
// Reentrant: nothing here shares a static buffer.

#include <span>
#include <string>

namespace pelagon2 {

// The platform's description of `errnum` ("No such file or directory").
std::string os_error_description(int errnum);

// "{description} (os error {code})".
std::string os_error_text(int errnum);

// os_error_text into `out`, NUL-terminated and cut to fit; never allocates,
// for callers that cannot let an exception through (C library callbacks).
void write_os_error_text(int errnum, std::span<char> out);

}  // namespace pelagon2
