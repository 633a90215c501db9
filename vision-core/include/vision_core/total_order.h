#pragma once
// IEEE total order of floats as an unsigned key, so that every score (NaN,
// signed zeros included) sorts the same way everywhere:
// -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.

#include <bit>
#include <cstdint>

namespace vision_core {

constexpr std::uint32_t total_order_key(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  return (bits & 0x80000000u) != 0 ? ~bits : (bits | 0x80000000u);
}

}  // namespace vision_core
