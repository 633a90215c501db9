#pragma once
// Time as input synthesis sees it: one clock for every wait (so tests can
// script it), the pacing wait that lets applications take in what was posted,
// and the wait for the pointer to arrive after a move.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/clock.h"

namespace pelagon2::platform {

// The pending wait of one request: every posted event adds 20 ms to what is
// still pending; finish() sleeps once for what remains after the last event's
// own share, so a burst of n events ends about n × 20 ms after its first.
class EventPacing {
 public:
  static constexpr Clock::Duration kPerEvent = std::chrono::milliseconds(20);

  // Starts counting now.
  explicit EventPacing(Clock& clock);

  Clock& clock() { return clock_; }
  // After every event posted.
  void posted();
  // What is pending now, before the next event.
  Clock::Duration pending();
  // Sleeps for what is left; called once, after the last event.
  void finish();

 private:
  void advance();

  Clock& clock_;
  Clock::Duration pending_{0};
  Clock::Duration last_;
};

struct PointerPosition {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

// Polls `read_pointer` up to 100 times, 1 ms apart, until the pointer is
// within 2 points of (x, y) on both axes. Not arriving is no error; a read
// that yields nothing (the display went away) ends the wait. True on arrival.
bool wait_for_pointer_arrival(Clock& clock, std::int32_t x, std::int32_t y,
                              const std::function<std::optional<PointerPosition>()>& read_pointer);

}  // namespace pelagon2::platform
