// Base64 both ways: any bytes encode to text that decodes back to them; any
// text either decodes to bytes that encode back to exactly that text (only the
// canonical form is accepted) or is rejected with one of the four reasons,
// naming a byte and offset that really are in the text.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "core/base64.h"

namespace {

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// "{prefix}{byte}, offset {offset}." must name text[offset] == byte.
bool names_real_byte(std::string_view reason, std::string_view prefix, std::string_view text) {
  const std::string rest(reason.substr(prefix.size()));
  unsigned long byte = 0;
  unsigned long offset = 0;
  int consumed = 0;
  if (std::sscanf(rest.c_str(), "%lu, offset %lu.%n", &byte, &offset, &consumed) != 2) return false;
  if (static_cast<std::size_t>(consumed) != rest.size()) return false;
  return offset < text.size() && static_cast<unsigned char>(text[offset]) == byte;
}

bool valid_reason(std::string_view reason, std::string_view text) {
  if (starts_with(reason, "Invalid symbol ")) return names_real_byte(reason, "Invalid symbol ", text);
  if (starts_with(reason, "Invalid last symbol ")) return names_real_byte(reason, "Invalid last symbol ", text);
  if (starts_with(reason, "Invalid input length: ")) {
    return reason.substr(22) == std::to_string(text.size());
  }
  return reason == "Invalid padding";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const std::string encoded = pelagon2::base64_encode(bytes);
  auto decoded = pelagon2::base64_decode(encoded);
  if (!decoded || decoded->size() != size || !std::equal(decoded->begin(), decoded->end(), data)) std::abort();

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto result = pelagon2::base64_decode(text);
  if (result) {
    if (pelagon2::base64_encode(*result) != text) std::abort();
  } else if (!valid_reason(result.error(), text)) {
    std::abort();
  }
  return 0;
}
