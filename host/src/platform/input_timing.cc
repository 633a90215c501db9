#include "platform/input_timing.h"

#include <algorithm>
#include <cstdlib>

namespace pelagon2::platform {
namespace {

std::int64_t distance(std::int32_t a, std::int32_t b) {
  return std::llabs(static_cast<std::int64_t>(a) - static_cast<std::int64_t>(b));
}

}  // namespace

EventPacing::EventPacing(Clock& clock) : clock_(clock), last_(clock.now()) {}

void EventPacing::advance() {
  const Clock::Duration now = clock_.now();
  pending_ = std::max(pending_ - (now - last_), Clock::Duration::zero());
  last_ = now;
}

void EventPacing::posted() {
  advance();
  pending_ += kPerEvent;
}

Clock::Duration EventPacing::pending() {
  advance();
  return pending_;
}

void EventPacing::finish() {
  // As if one more event were posted, less that event's own share.
  posted();
  const Clock::Duration wait = pending_ - kPerEvent;
  if (wait > Clock::Duration::zero()) clock_.sleep(wait);
}

bool wait_for_pointer_arrival(Clock& clock, std::int32_t x, std::int32_t y,
                              const std::function<std::optional<PointerPosition>()>& read_pointer) {
  constexpr int kChecks = 100;
  for (int check = 1; check <= kChecks; ++check) {
    const std::optional<PointerPosition> at = read_pointer();
    if (!at) return false;
    if (distance(at->x, x) < 3 && distance(at->y, y) < 3) return true;
    if (check < kChecks) clock.sleep(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace pelagon2::platform
