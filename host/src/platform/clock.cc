#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace pelagon2::platform {
namespace {

class SystemClock final : public Clock {
 public:
  Duration now() override {
    return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
  }
  void sleep(Duration duration) override {
    if (duration <= Duration::zero()) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec remaining{};
    remaining.tv_sec = static_cast<std::time_t>(seconds.count());
    remaining.tv_nsec = static_cast<long>((duration - seconds).count());
    timespec request = remaining;
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
  }
};

}  // namespace

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

}  // namespace pelagon2::platform
