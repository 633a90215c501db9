// How fast, and how exactly, text typed through the host reaches an X
// application, against `xdotool type` of the same text into the same client
// in the same run. A private Xvfb and a recording client (which decodes keys
// as Xlib and xkbcommon applications do) are started; each round types 200
// ASCII characters and 50 non-ASCII ones (Latin-1 in both cases, Cyrillic,
// Greek, CJK, symbols) once through the host over the wire (send_text) and
// once with xdotool, and prints the seconds, milliseconds a character, and
// how many characters were lost or garbled on the way. Prints figures,
// asserts nothing.
// Usage: x11_typing_bench [host binary] [rounds]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/x11_input_recorder.h"
#include "support/x_clients.h"
#include "support/xvfb_server.h"
#include "tools/client/host_client.h"

namespace {

using Clock = std::chrono::steady_clock;

std::u32string code_points(const std::string& s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = n == 1 ? b : b & (0x3F >> (n - 1));
    for (int k = 1; k < n && i + static_cast<std::size_t>(k) < s.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0x3F);
    }
    out.push_back(c);
    i += static_cast<std::size_t>(n);
  }
  return out;
}

// Characters of `want` missing from `got` (lost) and characters of `got`
// that are not in `want` (garbled), by their longest common subsequence.
std::pair<std::size_t, std::size_t> compare(const std::string& want_text, const std::string& got_text) {
  const std::u32string want = code_points(want_text), got = code_points(got_text);
  std::vector<std::size_t> row(got.size() + 1, 0), prev(got.size() + 1, 0);
  for (std::size_t i = 1; i <= want.size(); ++i) {
    for (std::size_t j = 1; j <= got.size(); ++j) {
      row[j] = want[i - 1] == got[j - 1] ? prev[j - 1] + 1 : std::max(prev[j], row[j - 1]);
    }
    std::swap(row, prev);
  }
  const std::size_t common = prev[got.size()];
  return {want.size() - common, got.size() - common};
}

// 200 printable ASCII characters: words, digits and punctuation.
std::string ascii_text() {
  const std::string pool =
      "The quick brown fox jumps over the lazy dog, 0123456789! ~`@#$%^&*()_+{}|:\"<>?-=[]\\;',./ "
      "PACK MY BOX WITH FIVE DOZEN LIQUOR JUGS. ";
  std::string out;
  for (std::size_t i = 0; out.size() < 200; ++i) out += pool[(i * 7) % pool.size()];
  return out;
}

// 50 non-ASCII characters, some of them repeated as real text repeats them.
std::string non_ascii_text() {
  const char* const pool[] = {"\u00e9", "\u00c9", "\u00f6", "\u00d6", "\u00df", "\u00f1", "\u00d1", "\u00e0",
                              "\u0416", "\u0436", "\u041f", "\u0440", "\u0438", "\u0432", "\u0435", "\u0442",
                              "\u03a9", "\u03c9", "\u03b1", "\u0394", "\u6771", "\u4eac", "\u65e5", "\u672c",
                              "\u2713", "\u20ac", "\u2192", "\u221e", "\u00a9", "\u0141", "\u0142", "\u0151"};
  std::string out;
  for (std::size_t i = 0; i < 50; ++i) out += pool[(i * 5) % (sizeof pool / sizeof *pool)];
  return out;
}

void print(const char* who, const char* what, const std::string& text, double seconds, const std::string& got) {
  const auto [lost, garbled] = compare(text, got);
  std::printf("%-8s %-14s %6.2f s  %6.1f ms/char  lost %zu  garbled %zu%s\n", who, what, seconds,
              seconds * 1000.0 / static_cast<double>(code_points(text).size()), lost, garbled,
              lost + garbled == 0 ? "  exact" : "");
  if (lost + garbled != 0) std::printf("         sent    %s\n         arrived %s\n", text.c_str(), got.c_str());
  std::fflush(stdout);
}

// Runs xdotool type with the text; false when it could not run or failed.
bool xdotool_type(const std::string& display, const std::string& text) {
  pelagon2::testing::Program xdotool({"xdotool", "type", "--", text}, {"DISPLAY=" + display});
  return xdotool.succeeded();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string host_path = argc > 1 ? argv[1] : PELAGON2_BUILT_HOST;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  pelagon2::testing::XvfbServer server;
  if (!server.running()) return std::puts("no Xvfb"), 1;
  pelagon2::testing::InputRecorder recorder(server.display());
  if (!recorder.ready()) return std::puts("no recording client"), 1;
  pelagon2::HostClient host(host_path, {"DISPLAY=" + server.display()});
  if (!host.started()) return std::printf("host %s did not start\n", host_path.c_str()), 1;
  std::printf("host: %s\n", host_path.c_str());

  const std::pair<const char*, std::string> texts[] = {{"200 ascii", ascii_text()}, {"50 non-ascii", non_ascii_text()}};
  for (int round = 0; round < rounds; ++round) {
    for (const auto& [what, text] : texts) {
      recorder.take();
      auto start = Clock::now();
      const std::optional<pelagon2::Json> reply = host.call("send_text", {{"text", text}});
      double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      if (!reply || !reply->contains("result")) {
        std::printf("host     %-14s failed: %s\n", what, reply ? reply->dump().c_str() : host.last_error().c_str());
      } else {
        print("host", what, text, seconds, pelagon2::testing::InputRecorder::typed(recorder.take()));
      }

      recorder.take();
      start = Clock::now();
      const bool typed = xdotool_type(server.display(), text);
      seconds = std::chrono::duration<double>(Clock::now() - start).count();
      if (!typed) {
        std::printf("xdotool  %-14s failed\n", what);
      } else {
        print("xdotool", what, text, seconds, pelagon2::testing::InputRecorder::typed(recorder.take()));
      }
    }
  }
  return 0;
}
