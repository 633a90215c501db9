#pragma once
// The one clock of every wait the host makes, so tests can script it.

#include <chrono>

namespace pelagon2::platform {

class Clock {
 public:
  using Duration = std::chrono::nanoseconds;
  virtual ~Clock() = default;
  // Monotonic time since an arbitrary origin.
  virtual Duration now() = 0;
  // Sleeps the whole duration, resuming after interruptions.
  virtual void sleep(Duration duration) = 0;
};

// The steady clock and nanosleep.
Clock& system_clock();

}  // namespace pelagon2::platform
