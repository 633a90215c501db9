// startup_bench: what a fresh host costs a browser that sends one message and
// lets the host go, against the cheapest possible process.
//
//   startup_bench [REPEATS [HOST]]
//
// Starts, alternately and REPEATS times each (default 30), through the same
// pipes and spawn call:
//   - /bin/true, timed from the spawn to its exit (the floor for any process);
//   - the host, timed from the spawn to its reply to get_version;
//   - the host, timed from the spawn to its reply to one search_image for a
//     64x64 pattern in a 2880x1800 screenshot-like PNG.
// Prints the median and minimum of each, and the host's excess over /bin/true.
// HOST replaces the host binary of this build (to compare builds).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/base64.h"
#include "testkit/synthetic_screen.h"
#include "tools/client/host_client.h"

namespace {

using Clock = std::chrono::steady_clock;

double since_ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Milliseconds from spawning /bin/true to having reaped it.
double true_ms() {
  const Clock::time_point start = Clock::now();
  pelagon2::HostClient process("/bin/true");
  if (!process.started() || process.wait_exit() != 0) return -1.0;
  return since_ms(start);
}

// Milliseconds from spawning `host_path` to its reply to `body`.
double first_reply_ms(const char* host_path, const std::string& body) {
  const Clock::time_point start = Clock::now();
  pelagon2::HostClient host(host_path);
  if (!host.started() || !host.send_frame(body)) return -1.0;
  const std::optional<std::string> reply = host.read_frame();
  const double ms = since_ms(start);
  host.close_input();
  host.wait_exit();
  if (!reply || reply->find("\"result\"") == std::string::npos) {
    std::fprintf(stderr, "unexpected reply: %.200s\n", reply.value_or(host.last_error()).c_str());
    return -1.0;
  }
  return ms;
}

struct Series {
  const char* name;
  std::vector<double> ms;
  double median() {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const char* host_path = argc > 2 ? argv[2] : PELAGON2_BUILT_HOST;

  const vision_core::RgbImage screen = pelagon2::testing::synthetic_screen(2880, 1800, 42);
  const std::string png = pelagon2::testing::encode_png(screen, 192.0);
  const auto [x, y] = pelagon2::testing::busiest_window(screen, 64);
  const pelagon2::Json search{
      {"id", 1},
      {"method", "search_image"},
      {"params",
       {{"image", {{"data", pelagon2::base64_encode(png)}}},
        {"pattern", pelagon2::testing::png_param(pelagon2::testing::crop(screen, x, y, 64, 64))}}}};
  const std::string search_body = pelagon2::to_json_text(search);
  const std::string version_body = pelagon2::to_json_text(pelagon2::Json{{"id", 1}, {"method", "get_version"}});

  Series floor{"/bin/true, spawn to exit", {}};
  Series version{"host, spawn to the get_version reply", {}};
  Series searched{"host, spawn to one search_image reply (64x64 in 2880x1800)", {}};
  for (int i = 0; i < repeats; ++i) {
    floor.ms.push_back(true_ms());
    version.ms.push_back(first_reply_ms(host_path, version_body));
    searched.ms.push_back(first_reply_ms(host_path, search_body));
  }
  for (Series* s : {&floor, &version, &searched}) {
    if (std::any_of(s->ms.begin(), s->ms.end(), [](double ms) { return ms < 0; })) {
      std::fprintf(stderr, "%s: a run failed\n", s->name);
      return 1;
    }
  }
  std::printf("%d runs each, alternating (haystack PNG %.2f MB)\n", repeats, static_cast<double>(png.size()) / 1e6);
  const double base = floor.median();
  for (Series* s : {&floor, &version, &searched}) {
    const double median = s->median();
    std::printf("%-62s median %7.2f ms (min %.2f)", s->name, median, s->ms.front());
    if (s != &floor) std::printf("  %+.2f ms over /bin/true", median - base);
    std::printf("\n");
  }
  return 0;
}
