#pragma once
// The one rounding rule of the system: halves away from zero; conversions to
// integers saturate at the target's limits and turn NaN into 0.

#include <cmath>
#include <cstdint>
#include <limits>

namespace vision_core {

template <class Int, class Float>
constexpr Int saturate_to(Float value) {
  if (std::isnan(value)) return 0;
  if (value <= static_cast<Float>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  if (value >= static_cast<Float>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
  return static_cast<Int>(value);
}

// std::round already rounds halves away from zero.
template <class Int, class Float>
constexpr Int round_to(Float value) {
  return saturate_to<Int>(std::round(value));
}

}  // namespace vision_core
