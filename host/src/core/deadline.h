#pragma once
// How long a poll() or main-loop iteration may block before a deadline.

#include <chrono>
#include <climits>
#include <cstdint>

namespace pelagon2 {

// Milliseconds from `now` until `deadline`: 0 once it has passed, rounded up so
// that a wait never ends just before it, and at most INT_MAX.
inline int milliseconds_until(std::chrono::steady_clock::time_point deadline,
                              std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now()) {
  if (deadline <= now) return 0;
  const std::int64_t left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace pelagon2
