#include "core/deadline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>

namespace pelagon2 {
namespace {

using namespace std::chrono_literals;

TEST(MillisecondsUntil, PassedIsZeroAndTheRestRoundsUpToAnInt) {
  struct Case {
    const char* name;
    std::chrono::steady_clock::duration left;
    int expected;
  };
  const Case cases[] = {
      {"long passed", -5s, 0},
      {"just passed", -1ns, 0},
      {"now", 0ns, 0},
      {"a nanosecond left", 1ns, 1},
      {"just under a millisecond", 999'999ns, 1},
      {"exactly a millisecond", 1ms, 1},
      {"a nanosecond over", 1ms + 1ns, 2},
      {"five seconds", 5s, 5000},
      {"last that fits", std::chrono::milliseconds(INT_MAX), INT_MAX},
      {"a month", std::chrono::hours(24 * 31), INT_MAX},
  };
  const auto now = std::chrono::steady_clock::time_point(1000h);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(milliseconds_until(now + c.left, now), c.expected);
  }
}

}  // namespace
}  // namespace pelagon2
