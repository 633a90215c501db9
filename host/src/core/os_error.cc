#include "core/os_error.h"

#include <cstdio>
#include <cstring>

namespace pelagon2 {
namespace {

// strerror_r is the GNU flavour on glibc and the XSI flavour elsewhere.
[[maybe_unused]] const char* error_description(const char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] const char* error_description(int xsi_result, const char* buffer) {
  return xsi_result == 0 ? buffer : "Unknown error";
}

constexpr std::size_t kDescriptionSize = 256;

const char* describe(int errnum, char (&buffer)[kDescriptionSize]) {
  return error_description(strerror_r(errnum, buffer, sizeof buffer), buffer);
}

}  // namespace

std::string os_error_description(int errnum) {
  char buffer[kDescriptionSize];
  return describe(errnum, buffer);
}

void write_os_error_text(int errnum, std::span<char> out) {
  if (out.empty()) return;
  char buffer[kDescriptionSize];
  std::snprintf(out.data(), out.size(), "%s (os error %d)", describe(errnum, buffer), errnum);
}

std::string os_error_text(int errnum) {
  char text[kDescriptionSize + 32];
  write_os_error_text(errnum, text);
  return text;
}

}  // namespace pelagon2
