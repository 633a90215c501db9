// search_request_bench: whole search_image requests over the pipe to the real
// host, on a 2880x1800 screenshot-like PNG with patterns cut from it.
//
//   search_request_bench [REPEATS [HOST [WIDTHxHEIGHT]]]
//
// Prints, per pattern size, the first request's time, the median of REPEATS
// further requests (default 15) and the host's peak resident memory (VmHWM).
// HOST replaces the host binary of this build (to compare builds); a pattern
// size limits the run to that size (default: 64x64, then 600x400).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/base64.h"
#include "core/json.h"
#include "testkit/synthetic_screen.h"
#include "tools/client/host_client.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string peak_rss(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return line.substr(6 + line.substr(6).find_first_not_of(" \t"));
  }
  return "?";
}

// Fields of /proc/<pid>/stat after the command name, from field 3 on.
std::vector<std::string> stat_fields(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::vector<std::string> fields;
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return fields;
  std::istringstream in(text.substr(close + 2));
  for (std::string field; in >> field;) fields.push_back(field);
  return fields;
}

// Minor page faults so far (field 10): every first touch of a fresh page is
// one, and on these machines each costs about as much as copying several pages.
long minor_faults(pid_t pid) {
  const std::vector<std::string> fields = stat_fields(pid);
  return fields.size() > 7 ? std::atol(fields[7].c_str()) : -1;
}

// User plus system CPU time so far in milliseconds (fields 14 and 15): unlike
// wall time, it does not grow when other processes share the cores.
double cpu_ms(pid_t pid) {
  const std::vector<std::string> fields = stat_fields(pid);
  if (fields.size() <= 12) return -1.0;
  const double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Milliseconds for one request, or a negative value when no sensible reply came.
double timed_request(pelagon2::HostClient& host, const std::string& body, std::size_t* regions) {
  const Clock::time_point start = Clock::now();
  if (!host.send_frame(body)) return -1.0;
  const std::optional<std::string> reply = host.read_frame();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (!reply) return -1.0;
  const pelagon2::Json parsed = pelagon2::Json::parse(*reply, nullptr, false);
  if (!parsed.is_object() || !parsed.contains("result")) {
    std::fprintf(stderr, "unexpected reply: %.200s\n", reply->c_str());
    return -1.0;
  }
  *regions = parsed["result"]["regions"].size();
  return ms;
}

int run(const char* host_path, std::uint32_t pattern_width, std::uint32_t pattern_height, bool small_area,
        int repeats) {
  const vision_core::RgbImage screen = pelagon2::testing::synthetic_screen(2880, 1800, 42);
  const std::string png = pelagon2::testing::encode_png(screen, 192.0);
  const auto [x, y] = pelagon2::testing::busiest_window(screen, std::max(pattern_width, pattern_height));
  const vision_core::RgbImage pattern = pelagon2::testing::crop(screen, x, y, pattern_width, pattern_height);
  pelagon2::Json params{{"image", {{"data", pelagon2::base64_encode(png)}}},
                        {"pattern", pelagon2::testing::png_param(pattern)}};
  if (small_area) {
    // Decoding and buffers dominate: the search itself covers only the
    // pattern's surroundings.
    params["options"] = {{"limitSearchArea", true},
                         {"searchArea", {{"x", static_cast<int>(x) - 40}, {"y", static_cast<int>(y) - 40},
                                         {"width", pattern_width + 80}, {"height", pattern_height + 80}}}};
  }
  const pelagon2::Json request{{"id", 1}, {"method", "search_image"}, {"params", params}};
  const std::string body = pelagon2::to_json_text(request);

  pelagon2::HostClient host(host_path);
  if (!host.started()) {
    std::fprintf(stderr, "cannot start the host: %s\n", host.last_error().c_str());
    return 1;
  }
  std::size_t regions = 0;
  // A trivial request first, so that start-up is not counted as the first search.
  if (!host.call("get_version")) {
    std::fprintf(stderr, "no reply to get_version: %s\n", host.last_error().c_str());
    return 1;
  }
  const long faults_start = minor_faults(host.pid());
  const double first = timed_request(host, body, &regions);
  const long faults_first = minor_faults(host.pid());
  const double cpu_first = cpu_ms(host.pid());
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) times.push_back(timed_request(host, body, &regions));
  const long faults_steady = (minor_faults(host.pid()) - faults_first) / repeats;
  const double cpu_steady = (cpu_ms(host.pid()) - cpu_first) / repeats;
  if (first < 0 || std::any_of(times.begin(), times.end(), [](double t) { return t < 0; })) {
    std::fprintf(stderr, "a request failed: %s\n", host.last_error().c_str());
    return 1;
  }
  const std::string rss = peak_rss(host.pid());
  std::sort(times.begin(), times.end());
  std::printf("pattern %4ux%-4u %s  haystack PNG %5.2f MB  first %7.1f ms  steady median %7.1f ms (min %.1f, max %.1f, n=%d)"
              "  regions %zu  peak RSS %s"
              "  page faults first %ld, steady %ld per request  host CPU %.1f ms per steady request\n",
              pattern_width, pattern_height, small_area ? "small area " : "whole image", static_cast<double>(png.size()) / 1e6, first, times[times.size() / 2],
              times.front(), times.back(), repeats, regions, rss.c_str(), faults_first - faults_start, faults_steady, cpu_steady);
  host.close_input();
  host.wait_exit();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const char* host_path = argc > 2 ? argv[2] : PELAGON2_BUILT_HOST;
  unsigned width = 0, height = 0;
  if (argc > 3 && std::sscanf(argv[3], "%ux%u", &width, &height) == 2 && width > 0 && height > 0) {
    return run(host_path, width, height, false, repeats) | run(host_path, width, height, true, repeats);
  }
  int status = run(host_path, 64, 64, false, repeats);
  status |= run(host_path, 64, 64, true, repeats);
  status |= run(host_path, 600, 400, false, repeats);
  status |= run(host_path, 600, 400, true, repeats);
  return status;
}
