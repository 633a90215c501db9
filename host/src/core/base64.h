#pragma once
// Standard RFC 4648 base64 with '=' padding. Encoding always pads and never
// breaks lines; decoding accepts only the canonical form (no whitespace, exact
// padding, zero left-over bits) and explains the first fault it finds.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/outcome.h"

namespace pelagon2 {

std::string base64_encode(std::span<const std::uint8_t> bytes);
inline std::string base64_encode(std::string_view bytes) {
  return base64_encode(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// On failure the error is the bare reason, one of:
//   "Invalid symbol {byte}, offset {offset}."      byte outside the alphabet, or '=' misplaced
//   "Invalid input length: {length}"               one lone symbol in the final group
//   "Invalid last symbol {byte}, offset {offset}." non-zero left-over bits
//   "Invalid padding"                              '=' missing or not completing the group
Expected<std::vector<std::uint8_t>> base64_decode(std::string_view text);

}  // namespace pelagon2
