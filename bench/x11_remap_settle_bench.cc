// How long after the server has processed a key event on a freshly remapped
// key code an application has decoded it: the figure behind the settle time
// the X11 input backend keeps a borrowed key code for. A private Xvfb and a
// recording client (which re-reads the map on MappingNotify like any
// application) are started; each trial remaps a spare key code, taps it
// through XTest, waits for the server (XSync) and notes when the client
// decoded the press. Idle trials let the client catch up between taps; burst
// trials type many remapped characters back to back and measure the lag of
// each. Early trials restore the key code as soon as the server has
// processed the tap and count the presses decoded wrongly. Prints figures,
// asserts nothing. Usage: x11_remap_settle_bench [trials]

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/x11_input_recorder.h"
#include "support/xvfb_server.h"

namespace {

long long now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void print(const char* name, std::vector<double> lags_ms, int wrong) {
  if (lags_ms.empty()) return;
  std::sort(lags_ms.begin(), lags_ms.end());
  const auto at = [&](double q) {
    return lags_ms[static_cast<std::size_t>(q * static_cast<double>(lags_ms.size() - 1))];
  };
  std::printf("%-6s n=%zu  decode after sync (ms): min %.3f  median %.3f  p90 %.3f  p99 %.3f  max %.3f  wrong %d\n",
              name, lags_ms.size(), lags_ms.front(), at(0.5), at(0.9), at(0.99), lags_ms.back(), wrong);
}

}  // namespace

int main(int argc, char** argv) {
  const int trials = argc > 1 ? std::atoi(argv[1]) : 300;
  pelagon2::testing::XvfbServer server;
  if (!server.running()) return std::puts("no Xvfb"), 1;
  pelagon2::testing::InputRecorder recorder(server.display());
  Display* d = XOpenDisplay(server.display().c_str());
  if (!recorder.ready() || !d) return std::puts("no recorder"), 1;

  int min = 0, max = 0, per = 0;
  XDisplayKeycodes(d, &min, &max);
  KeySym* map = XGetKeyboardMapping(d, static_cast<KeyCode>(min), max - min + 1, &per);
  std::vector<KeyCode> spare;
  for (int code = max; code >= min; --code) {
    bool empty = true;
    for (int c = 0; c < per; ++c) empty = empty && map[(code - min) * per + c] == NoSymbol;
    if (empty) spare.push_back(static_cast<KeyCode>(code));
  }
  std::vector<KeySym> original(map, map + (max - min + 1) * per);
  XFree(map);
  if (spare.empty()) return std::puts("no spare key code"), 1;

  // Idle: one remapped key at a time.
  std::vector<double> idle;
  int idle_wrong = 0;
  for (int i = 0; i < trials; ++i) {
    KeySym keysym = 0x01004e00 + static_cast<KeySym>(i % 500);
    XChangeKeyboardMapping(d, spare[0], 1, &keysym, 1);
    XTestFakeKeyEvent(d, spare[0], True, CurrentTime);
    XTestFakeKeyEvent(d, spare[0], False, CurrentTime);
    XSync(d, False);
    const long long synced = now_ns();
    for (const auto& e : recorder.take()) {
      if (e.kind != "press") continue;
      idle.push_back(static_cast<double>(e.time_ns - synced) / 1e6);
      if (e.keysym != keysym) ++idle_wrong;
    }
  }
  print("idle", idle, idle_wrong);

  // Burst: every spare key code remapped and tapped back to back.
  std::vector<double> burst;
  int burst_wrong = 0;
  for (int round = 0; round < std::max(1, trials / static_cast<int>(spare.size())); ++round) {
    std::vector<long long> synced(spare.size());
    std::vector<KeySym> sent(spare.size());
    for (std::size_t k = 0; k < spare.size(); ++k) {
      sent[k] = 0x01005000 + static_cast<KeySym>((round * spare.size() + k) % 500);
      XChangeKeyboardMapping(d, spare[k], 1, &sent[k], 1);
      XTestFakeKeyEvent(d, spare[k], True, CurrentTime);
      XTestFakeKeyEvent(d, spare[k], False, CurrentTime);
      XSync(d, False);
      synced[k] = now_ns();
    }
    std::size_t k = 0;
    for (const auto& e : recorder.take()) {
      if (e.kind != "press" || k >= spare.size()) continue;
      burst.push_back(static_cast<double>(e.time_ns - synced[k]) / 1e6);
      if (e.keysym != sent[k]) ++burst_wrong;
      ++k;
    }
  }
  print("burst", burst, burst_wrong);

  // Restored at once after the server has processed the key: what a host
  // without a settle time does. Wrong decodes show the fault it causes.
  std::vector<double> early;
  int early_wrong = 0;
  std::vector<KeySym> empty_row(static_cast<std::size_t>(per), NoSymbol);
  for (int i = 0; i < trials; ++i) {
    KeySym keysym = 0x01004e00 + static_cast<KeySym>(i % 500);
    XChangeKeyboardMapping(d, spare[0], 1, &keysym, 1);
    XTestFakeKeyEvent(d, spare[0], True, CurrentTime);
    XTestFakeKeyEvent(d, spare[0], False, CurrentTime);
    XSync(d, False);
    const long long synced = now_ns();
    XChangeKeyboardMapping(d, spare[0], per, empty_row.data(), 1);
    XSync(d, False);
    for (const auto& e : recorder.take()) {
      if (e.kind != "press") continue;
      early.push_back(static_cast<double>(e.time_ns - synced) / 1e6);
      if (e.keysym != keysym) ++early_wrong;
    }
  }
  print("early", early, early_wrong);

  XChangeKeyboardMapping(d, static_cast<KeyCode>(min), per, original.data(), max - min + 1);
  XSync(d, False);
  XCloseDisplay(d);
  double load[3] = {};
  if (getloadavg(load, 3) == 3) std::printf("load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  return 0;
}
