// ocr_request_bench: ocr_image requests over the pipe to the real host, on a
// 1920x1080 screenshot-like PNG with lines of UI text at 12-16 px, and the
// start-up time of a fresh host.
//
//   ocr_request_bench [REPEATS [BASELINE_HOST]]
//
// Prints the first request's time (the engine loads then), the median of
// REPEATS further requests (default 10), each as wall time and host CPU time,
// and the character accuracy of the reply against the drawn text. Then the
// time from starting a fresh host to its answer to get_version (median of
// 3 x REPEATS starts), for this build's host and, when given, for
// BASELINE_HOST, started alternately.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "core/base64.h"
#include "testkit/ui_text_screen.h"
#include "tools/client/host_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using pelagon2::Json;

// User plus system CPU time of `pid` so far, in milliseconds (10 ms ticks).
double cpu_ms(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1.0;
  std::istringstream in(text.substr(close + 2));
  std::vector<std::string> fields;
  for (std::string field; in >> field;) fields.push_back(field);
  if (fields.size() <= 12) return -1.0;
  return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) * 1000.0 /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

std::string squashed(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (a[i - 1] != b[j - 1] ? 1u : 0u)});
    }
    std::swap(previous, current);
  }
  return previous[b.size()];
}

struct Box {
  double left, top, right, bottom;
};

bool overlap(const Box& a, const Box& b) {
  return std::min(a.right, b.right) > std::max(a.left, b.left) && std::min(a.bottom, b.bottom) > std::max(a.top, b.top);
}

struct Accuracy {
  std::size_t characters = 0;
  std::size_t errors = 0;
};

// Drawn and recognised lines that overlap form groups (a recognizer may join
// two labels on one row or split a wide-spaced menu); each group's texts,
// left to right and joined by a blank, are compared with blanks squashed.
// Recognised text where nothing was drawn counts as errors in full.
Accuracy character_accuracy(const pelagon2::testing::TextScreen& screen, const Json& lines, bool print) {
  struct Item {
    Box box;
    std::string text;
    bool drawn;
  };
  std::vector<Item> items;
  for (const auto& line : screen.lines) {
    const auto& b = line.ink.all;
    items.push_back({{double(b.left), double(b.top), double(b.right), double(b.bottom)}, line.text, true});
  }
  for (const Json& line : lines) {
    const Json& r = line["words"][0]["rect"];
    const double x = r["x"].get<double>(), y = r["y"].get<double>();
    items.push_back({{x, y, x + r["width"].get<double>(), y + r["height"].get<double>()}, line["text"], false});
  }
  std::vector<int> group(items.size(), -1);
  int groups = 0;
  for (std::size_t start = 0; start < items.size(); ++start) {
    if (group[start] >= 0) continue;
    std::vector<std::size_t> stack{start};
    group[start] = groups;
    while (!stack.empty()) {
      const std::size_t u = stack.back();
      stack.pop_back();
      for (std::size_t v = 0; v < items.size(); ++v) {
        if (group[v] < 0 && items[u].drawn != items[v].drawn && overlap(items[u].box, items[v].box)) {
          group[v] = groups;
          stack.push_back(v);
        }
      }
    }
    ++groups;
  }
  Accuracy accuracy;
  for (int g = 0; g < groups; ++g) {
    std::vector<std::pair<double, std::string>> drawn, read;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (group[i] == g) (items[i].drawn ? drawn : read).push_back({items[i].box.left, items[i].text});
    }
    std::sort(drawn.begin(), drawn.end());
    std::sort(read.begin(), read.end());
    std::string truth, got;
    for (const auto& d : drawn) truth += (truth.empty() ? "" : " ") + d.second;
    for (const auto& r : read) got += (got.empty() ? "" : " ") + r.second;
    const std::size_t errors = edit_distance(squashed(got), squashed(truth));
    accuracy.characters += squashed(truth).size();
    accuracy.errors += errors;
    if (print && errors > 0) std::printf("    read \"%s\" for \"%s\"\n", got.c_str(), truth.c_str());
  }
  return accuracy;
}

// Milliseconds from starting `host_path` to its answer to get_version.
double startup_ms(const char* host_path) {
  const Clock::time_point start = Clock::now();
  pelagon2::HostClient host(host_path);
  if (!host.started() || !host.call("get_version")) return -1.0;
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  host.close_input();
  host.wait_exit();
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const char* baseline = argc > 2 ? argv[2] : nullptr;

  const pelagon2::testing::TextScreen screen = pelagon2::testing::ui_text_screen();
  const std::string png = pelagon2::testing::encode_png(screen.image);
  const std::string body = pelagon2::to_json_text(
      Json{{"id", 1}, {"method", "ocr_image"}, {"params", {{"content", pelagon2::base64_encode(png)}}}});

  pelagon2::HostClient host(PELAGON2_BUILT_HOST);
  if (!host.started() || !host.call("get_version")) {
    std::fprintf(stderr, "cannot start the host: %s\n", host.last_error().c_str());
    return 1;
  }
  std::vector<double> wall, cpu;
  Json result;
  for (int i = 0; i <= repeats; ++i) {
    const double cpu_before = cpu_ms(host.pid());
    const Clock::time_point start = Clock::now();
    const std::optional<std::string> reply = host.send_frame(body) ? host.read_frame() : std::nullopt;
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    cpu.push_back(cpu_ms(host.pid()) - cpu_before);
    const Json parsed = reply ? Json::parse(*reply, nullptr, false) : Json();
    if (!parsed.is_object() || !parsed.contains("result")) {
      std::fprintf(stderr, "ocr_image failed: %.300s %s\n", reply.value_or("").c_str(), host.last_error().c_str());
      return 1;
    }
    if (i == 0) result = parsed["result"];
  }
  host.close_input();
  host.wait_exit();

  const Accuracy accuracy = character_accuracy(screen, result["lines"], true);
  std::printf("ocr_image 1920x1080 UI screen (%zu drawn lines, PNG %.0f kB)\n", screen.lines.size(),
              static_cast<double>(png.size()) / 1e3);
  std::printf("  first request (loads the engine): %7.1f ms wall, %7.1f ms host CPU\n", wall[0], cpu[0]);
  const std::vector<double> steady_wall(wall.begin() + 1, wall.end()), steady_cpu(cpu.begin() + 1, cpu.end());
  std::printf("  further requests, median of %d:    %7.1f ms wall, %7.1f ms host CPU (min %.1f / %.1f)\n", repeats,
              median(steady_wall), median(steady_cpu), *std::min_element(steady_wall.begin(), steady_wall.end()),
              *std::min_element(steady_cpu.begin(), steady_cpu.end()));
  std::printf("  character accuracy: %.2f %% (%zu errors in %zu characters, %zu lines read)\n",
              100.0 * (1.0 - static_cast<double>(accuracy.errors) / static_cast<double>(accuracy.characters)),
              accuracy.errors, accuracy.characters, result["lines"].size());

  std::vector<double> ours, theirs;
  for (int i = 0; i < 3 * repeats; ++i) {
    ours.push_back(startup_ms(PELAGON2_BUILT_HOST));
    if (baseline != nullptr) theirs.push_back(startup_ms(baseline));
  }
  std::printf("start-up to the get_version reply, median of %d: %.2f ms (min %.2f)", 3 * repeats, median(ours),
              *std::min_element(ours.begin(), ours.end()));
  if (baseline != nullptr) {
    std::printf("; baseline %s: %.2f ms (min %.2f)", baseline, median(theirs),
                *std::min_element(theirs.begin(), theirs.end()));
  }
  std::printf("\n");
  return 0;
}
