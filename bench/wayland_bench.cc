// wayland_bench: the Wayland routes against the X11 backend on the same
// machine, each desktop with the same GTK 3 client watching (fullscreen, an
// entry holding the focus): X11 under Xvfb and openbox (GDK_BACKEND=x11),
// headless sway (wlroots route) and headless mutter (GNOME route), all at
// 1280x800, scale 1.
//
//   wayland_bench [ROUNDS [HOST]]
//
// Prints, per desktop, medians over ROUNDS (default 10) of:
//   - session start: a new host process to the reply of its first
//     capture_desktop (so the library load, the connections and the first
//     frame);
//   - one capture_desktop of the 1280x800 screen into a PNG file, on a host
//     that has captured before;
//   - search_desktop for a 64x64 piece of the screen, steady state;
//   - a click on the GTK window: the request's round trip, and from sending it
//     to the client's report of GTK's button press (watched meanwhile; the
//     host paces a click as X11 does, so the press comes after the motion's
//     settle time and the reply after the release's);
//   - send_text of 200 ASCII and of 50 non-ASCII characters into the entry:
//     the request's time, and whether the entry then holds exactly the text.
// Prints figures, asserts nothing.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>
#include <string>
#include <vector>

#include "support/gnome_session.h"
#include "support/sway_session.h"
#include "support/wayland_gtk_client.h"
#include "support/xvfb_server.h"
#include "testkit/png_file_reader.h"
#include "testkit/synthetic_screen.h"
#include "tools/client/host_client.h"

namespace {

using namespace pelagon2;
using namespace pelagon2::testing;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
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

// 50 non-ASCII characters: Latin-1 and beyond, Cyrillic, Greek, CJK, symbols.
std::string non_ascii_text() {
  const char* const pool[] = {"\u00e9", "\u00c9", "\u00f6", "\u00d6", "\u00df", "\u00f1", "\u00d1", "\u00e0",
                              "\u0416", "\u0436", "\u041f", "\u0440", "\u0438", "\u0432", "\u0435", "\u0442",
                              "\u03a9", "\u03c9", "\u03b1", "\u0394", "\u6771", "\u4eac", "\u65e5", "\u672c",
                              "\u2713", "\u20ac", "\u2192", "\u221e", "\u00a9", "\u0141", "\u0142", "\u0151"};
  std::string out;
  for (std::size_t i = 0; i < 50; ++i) out += pool[(i * 5) % (sizeof pool / sizeof *pool)];
  return out;
}

// A desktop under test: the host's and the GTK client's environment, and
// what keeps it running.
struct Desktop {
  std::string name;
  std::vector<std::string> host_env;
  std::vector<std::string> client_env;
};

struct Row {
  std::string name;
  std::string error;  // set when the desktop could not be measured
  double start_ms = -1, capture_ms = -1, search_ms = -1, click_ms = -1, click_seen_ms = -1;
  double ascii_ms = -1, non_ascii_ms = -1;
  std::string ascii_result, non_ascii_result;
};

// The request's result, or nullopt (with the reply printed) after an error.
std::optional<Json> result_of(HostClient& host, const std::string& method, const Json& params) {
  std::optional<Json> reply = host.call(method, params);
  if (reply && reply->contains("result")) return (*reply)["result"];
  std::printf("  %s failed: %s\n", method.c_str(), reply ? reply->dump().c_str() : host.last_error().c_str());
  return std::nullopt;
}

// The entry's last reported text.
std::string entry_text(const GtkEventsClient& client) {
  std::string last;
  for (const Json& e : client.events()) {
    if (e.value("event", "") == "text") last = e.value("text", "");
  }
  return last;
}

// Types `text` once per round, the entry's previous text kept: the median
// time and "exact" or what went wrong the first time it did.
std::pair<double, std::string> measure_typing(HostClient& host, const GtkEventsClient& client, const std::string& text,
                                              int rounds) {
  std::vector<double> times;
  std::string verdict = "exact";
  for (int i = 0; i < rounds; ++i) {
    const std::string before = entry_text(client);
    const Clock::time_point start = Clock::now();
    if (!result_of(host, "send_text", {{"text", text}})) return {-1, "failed"};
    times.push_back(ms_since(start));
    const std::string want = before + text;
    std::string got;
    wait_until([&] { return (got = entry_text(client)) == want; }, std::chrono::seconds(5));
    if (got != want && verdict == "exact") {
      const std::string typed = got.size() >= before.size() ? got.substr(before.size()) : got;
      verdict = "differs (" + std::to_string(typed.size()) + " of " + std::to_string(text.size()) + " bytes)";
      std::printf("  sent    %s\n  arrived %s\n", text.c_str(), typed.c_str());
    }
  }
  return {median(times), verdict};
}

Row measure(const Desktop& desktop, const std::string& host_path, int rounds, const std::string& folder) {
  Row row;
  row.name = desktop.name;
  GtkEventsClient client(desktop.client_env);
  if (!client.ready()) return row.error = "the GTK client did not come up", row;
  const std::string capture_path = folder + "/" + desktop.name + ".png";

  std::vector<double> starts;
  for (int i = 0; i < rounds; ++i) {
    const Clock::time_point start = Clock::now();
    HostClient fresh(host_path, desktop.host_env);
    if (!fresh.started() || !result_of(fresh, "capture_desktop", {{"path", capture_path}}))
      return row.error = "no capture from a new host", row;
    starts.push_back(ms_since(start));
  }
  row.start_ms = median(starts);

  HostClient host(host_path, desktop.host_env);
  if (!result_of(host, "capture_desktop", {{"path", capture_path}})) return row.error = "no capture", row;
  std::vector<double> captures;
  for (int i = 0; i < rounds; ++i) {
    const Clock::time_point start = Clock::now();
    if (!result_of(host, "capture_desktop", {{"path", capture_path}})) return row.error = "capture failed", row;
    captures.push_back(ms_since(start));
  }
  row.capture_ms = median(captures);

  // The red block's top left corner, with the white around it: one place only.
  const std::optional<PngFile> screen = read_png_file(capture_path);
  if (!screen || screen->width < 200 || screen->height < 200 || screen->bit_depth != 8)
    return row.error = "unreadable capture", row;
  const std::size_t channels = screen->pixels.size() / (std::size_t{screen->width} * screen->height);
  vision_core::RgbImage piece(64, 64);
  for (std::uint32_t y = 0; y < 64; ++y) {
    for (std::uint32_t x = 0; x < 64; ++x) {
      const std::uint8_t* from = &screen->pixels[((std::size_t{y} + 68) * screen->width + x + 68) * channels];
      std::copy(from, from + 3, &piece.pixels[(std::size_t{y} * 64 + x) * 3]);
    }
  }
  const Json pattern = {{"pattern", png_param(piece)}};
  if (!result_of(host, "search_desktop", pattern)) return row.error = "search failed", row;
  std::vector<double> searches;
  for (int i = 0; i < rounds; ++i) {
    const Clock::time_point start = Clock::now();
    if (!result_of(host, "search_desktop", pattern)) return row.error = "search failed", row;
    searches.push_back(ms_since(start));
  }
  row.search_ms = median(searches);

  // Clicks on the red block, a few points apart so that each one moves.
  std::vector<double> clicks, seen;
  for (int i = 0; i < rounds; ++i) {
    const std::size_t count = client.events().size();
    // Watched while the request runs: the client appends a line per event,
    // flushed at once.
    std::atomic<bool> pressed = false;
    double pressed_at = -1;
    const Clock::time_point start = Clock::now();
    std::thread watcher([&] {
      const Clock::time_point deadline = start + std::chrono::seconds(5);
      while (!pressed && Clock::now() < deadline) {
        const std::vector<Json> events = client.events();
        const double at = ms_since(start);
        for (std::size_t k = count; k < events.size() && !pressed; ++k) {
          if (events[k].value("event", "") == "button_press") pressed_at = at, pressed = true;
        }
        if (!pressed) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    const bool clicked =
        result_of(host, "send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 150 + 3 * i}, {"y", 150}}).has_value();
    clicks.push_back(ms_since(start));
    watcher.join();
    if (!clicked) return row.error = "click failed", row;
    if (pressed) seen.push_back(pressed_at);
    if (!pressed) std::printf("  click %d never reached the client\n", i);
  }
  row.click_ms = median(clicks);
  row.click_seen_ms = median(seen);

  // The clicks leave the entry's focus alone (the window keeps it).
  std::tie(row.ascii_ms, row.ascii_result) = measure_typing(host, client, ascii_text(), std::max(1, rounds / 5));
  std::tie(row.non_ascii_ms, row.non_ascii_result) =
      measure_typing(host, client, non_ascii_text(), std::max(1, rounds / 5));
  return row;
}

Row failed(const std::string& name, const std::string& why) {
  Row row;
  row.name = name;
  row.error = why;
  return row;
}

std::string cell(double ms) {
  if (ms < 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, ms < 10 ? "%.2f" : "%.1f", ms);
  return text;
}

void print_table(const std::vector<Row>& rows) {
  std::printf("\n%-34s", "median ms");
  for (const Row& r : rows) std::printf("%18s", r.name.c_str());
  std::printf("\n");
  const auto line = [&](const char* what, const std::function<std::string(const Row&)>& value) {
    std::printf("%-34s", what);
    for (const Row& r : rows) std::printf("%18s", value(r).c_str());
    std::printf("\n");
  };
  line("session start (to 1st capture)", [](const Row& r) { return cell(r.start_ms); });
  line("capture_desktop 1280x800 (PNG)", [](const Row& r) { return cell(r.capture_ms); });
  line("search_desktop 64x64, steady", [](const Row& r) { return cell(r.search_ms); });
  line("click request", [](const Row& r) { return cell(r.click_ms); });
  line("click sent -> GTK button press", [](const Row& r) { return cell(r.click_seen_ms); });
  line("send_text 200 ASCII", [](const Row& r) { return cell(r.ascii_ms); });
  line("  in the GTK entry", [](const Row& r) { return r.ascii_result.empty() ? "-" : r.ascii_result; });
  line("send_text 50 non-ASCII", [](const Row& r) { return cell(r.non_ascii_ms); });
  line("  in the GTK entry", [](const Row& r) { return r.non_ascii_result.empty() ? "-" : r.non_ascii_result; });
  for (const Row& r : rows) {
    if (!r.error.empty()) std::printf("%s: %s\n", r.name.c_str(), r.error.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const std::string host_path = argc > 2 ? argv[2] : PELAGON2_BUILT_HOST;
  std::printf("host: %s, %d rounds\n", host_path.c_str(), rounds);
  TempTree folder;
  std::vector<Row> rows;

  {
    XvfbServer server("1280x800x24");
    TempTree home;
    WindowManager wm(server.display(), home.path());
    if (!server.running() || !wm.started()) {
      rows.push_back(failed("x11 (Xvfb)", "no Xvfb or openbox"));
    } else {
      const Desktop x11{"x11 (Xvfb)",
                        {"DISPLAY=" + server.display(), "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=x11"},
                        private_environment({"DISPLAY=" + server.display(), "GDK_BACKEND=x11", "HOME=" + home.path(),
                                             "NO_AT_BRIDGE=1", "GSETTINGS_BACKEND=memory"})};
      rows.push_back(measure(x11, host_path, rounds, folder.path()));
    }
  }
  if (SwaySession::available()) {
    SwaySession sway;
    if (!sway.ready()) {
      rows.push_back(failed("sway", "sway did not start"));
    } else {
      rows.push_back(measure({"sway", sway.client_env(), private_environment(sway.client_env())}, host_path,
                             rounds, folder.path()));
    }
  } else {
    rows.push_back(failed("sway", "sway or setpriv is not installed"));
  }
  {
    GnomeSession gnome;
    if (!gnome.ready()) {
      rows.push_back(failed("mutter", gnome.why()));
    } else {
      rows.push_back(measure({"mutter",
                              gnome.env(),
                              gnome.child_env({"GDK_BACKEND=wayland", "NO_AT_BRIDGE=1", "GSETTINGS_BACKEND=memory"})},
                             host_path, rounds, folder.path()));
    }
  }
  print_table(rows);
  return 0;
}
