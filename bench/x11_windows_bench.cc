// x11_windows_bench: get_active_browser_outer_rect over the pipe on a private
// X server with many top-level windows, the browser's window below all the
// others, so the walk reads every one of them; first without a window
// manager, then under openbox.
//
//   x11_windows_bench [WINDOWS [REPEATS [BASELINE_HOST]]]
//
// WINDOWS (default 200) counts the browser's window too; half of the others
// carry _NET_WM_PID, the rest are known to the server only (XRes). Prints the
// median, min and max wall time of REPEATS requests (default 30) and the CPU
// time per request of the host and of the X server, for the built host and
// then for BASELINE_HOST, when given (another build, to compare with). The
// replies of both must be the browser's window, or the run is reported failed.

// The test support first: Xlib's macros (None, Bool, ...) break gtest's headers.
#include "bench/process_cpu.h"
#include "host/tests/support/x_clients.h"
#include "host/tests/support/xvfb_server.h"
#include "tools/client/host_client.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The browser: this program again, copied under a browser's name, showing one
// window until its standard input closes.
int browser_window_main() {
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) return 3;
  XSetWindowAttributes attributes{};
  attributes.event_mask = StructureNotifyMask;
  const Window w = XCreateWindow(d, DefaultRootWindow(d), 40, 30, 320, 200, 0, CopyFromParent, InputOutput,
                                 CopyFromParent, CWEventMask, &attributes);
  const long pid = getpid();
  XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  XMapWindow(d, w);
  for (XEvent event; XNextEvent(d, &event) == 0;) {
    if (event.type == MapNotify && event.xmap.window == w) break;
  }
  std::printf("ready %lu\n", w);
  std::fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
  XCloseDisplay(d);
  return 0;
}

std::size_t listed_clients(Display* d) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_CLIENT_LIST_STACKING", False), 0, 1 << 16, False,
                     XA_WINDOW, &type, &format, &count, &after, &data);
  if (data != nullptr) XFree(data);
  return count;
}

void run_host(const char* host_path, const std::string& display, pid_t server_pid, int repeats) {
  pelagon2::HostClient host(host_path, {"DISPLAY=" + display});
  if (!host.started() || !host.call("get_version")) {
    std::fprintf(stderr, "cannot start the host %s: %s\n", host_path, host.last_error().c_str());
    return;
  }
  std::string first_reply;
  std::vector<double> times;
  const double host_start = cpu_ms(host.pid()), server_start = cpu_ms(server_pid);
  for (int i = 0; i < repeats; ++i) {
    const Clock::time_point start = Clock::now();
    const std::optional<pelagon2::Json> reply = host.call("get_active_browser_outer_rect");
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    const pelagon2::Json result = reply ? reply->value("result", pelagon2::Json()) : pelagon2::Json();
    if (!result.is_object()) {
      std::fprintf(stderr, "  %s: no browser window: %s\n", host_path,
                   reply ? pelagon2::to_json_text(*reply).c_str() : host.last_error().c_str());
      return;
    }
    if (i == 0) first_reply = pelagon2::to_json_text(result);
  }
  const double host_cpu = (cpu_ms(host.pid()) - host_start) / repeats;
  const double server_cpu = (cpu_ms(server_pid) - server_start) / repeats;
  std::sort(times.begin(), times.end());
  std::printf("  %-40s median %7.2f ms (min %6.2f, max %6.2f, n=%d)  CPU host %6.2f ms + X server %6.2f ms\n",
              host_path, times[times.size() / 2], times.front(), times.back(), repeats, host_cpu, server_cpu);
  std::printf("    %s\n", first_reply.c_str());
  host.close_input();
  host.wait_exit();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--browser-window") == 0) return browser_window_main();
  const int windows = argc > 1 ? std::max(2, std::atoi(argv[1])) : 200;
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
  std::vector<const char*> hosts = {PELAGON2_BUILT_HOST};
  if (argc > 3) hosts.push_back(argv[3]);

  pelagon2::testing::XvfbServer server("1920x1080x24");
  if (!server.running()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  // A private directory for the browser's copy and the window manager's home.
  char dir_template[] = "/tmp/x11_windows_bench.XXXXXX";
  if (mkdtemp(dir_template) == nullptr) return 1;
  const std::string dir = dir_template;
  const auto remove_dir = [&] { std::filesystem::remove_all(dir); };
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string browser_program = n > 0 ? pelagon2::testing::copy_program(self, dir, "chromium") : "";
  pelagon2::testing::WindowClient browser(browser_program, server.display(), {"--browser-window"});
  if (!browser.ready()) {
    std::fprintf(stderr, "the browser's window did not appear\n");
    remove_dir();
    return 1;
  }

  Display* d = XOpenDisplay(server.display().c_str());
  if (d == nullptr) {
    remove_dir();
    return 1;
  }
  const long pid = getpid();
  for (int i = 1; i < windows; ++i) {
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 20 + (i * 7) % 1200, 20 + (i * 5) % 700, 300, 200,
                                         0, 0, 0xffffff);
    if (i % 2 == 0) {
      XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&pid), 1);
    }
    XMapWindow(d, w);
  }
  XSync(d, False);

  std::printf("Xvfb %s, %d top-level windows, %d requests each\n", server.display().c_str(), windows, repeats);
  std::printf("get_active_browser_outer_rect, no window manager\n");
  for (const char* host : hosts) run_host(host, server.display(), server.pid(), repeats);

  std::filesystem::create_directory(dir + "/home");
  pelagon2::testing::WindowManager wm(server.display(), dir + "/home");
  const Clock::time_point wait_start = Clock::now();
  while (listed_clients(d) < static_cast<std::size_t>(windows) && Clock::now() - wait_start < std::chrono::seconds(30)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (listed_clients(d) < static_cast<std::size_t>(windows)) {
    std::fprintf(stderr, "openbox did not manage the windows\n");
    wm.stop();
    XCloseDisplay(d);
    remove_dir();
    return 1;
  }
  // Let it finish framing and announcing its extents.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::printf("get_active_browser_outer_rect, under openbox\n");
  for (const char* host : hosts) run_host(host, server.display(), server.pid(), repeats);
  wm.stop();
  XCloseDisplay(d);
  remove_dir();
  return 0;
}
