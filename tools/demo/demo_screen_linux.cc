// The screen on Linux: the X server in DISPLAY if the host sees a screen
// there, else a private Xvfb.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "core/json.h"
#include "core/posix.h"
#include "tools/client/host_client.h"
#include "tools/demo/demo_screen.h"

namespace pelagon2::demo {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPrivateScreen = "1024x768x24";

// Starts Xvfb on a display number it picks itself; ":N", or empty.
std::string start_xvfb(Child& xvfb) {
  int fds[2];
  if (!pelagon2::cloexec_pipe(fds)) return {};
  // The write end is the only descriptor of ours Xvfb may inherit.
  const int child_fd = ::fcntl(fds[1], F_DUPFD, 10);
  ::close(fds[1]);
  if (child_fd < 0) {
    ::close(fds[0]);
    return {};
  }
  xvfb = spawn({"Xvfb", "-displayfd", std::to_string(child_fd), "-nolisten", "tcp", "-noreset", "-screen", "0",
                kPrivateScreen},
               {}, false, false);
  ::close(child_fd);
  std::string number;
  if (xvfb.pid > 0) {
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
      if (::poll(&p, 1, 200) <= 0) continue;
      char buffer[32];
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      number.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    stop_child(xvfb.pid, SIGTERM, std::chrono::seconds(5));
    xvfb.pid = -1;
    return {};
  }
  return ":" + number.substr(0, number.find('\n'));
}

// Whether the host sees a screen on the DISPLAY of the environment.
bool display_reachable(const std::string& host_path) {
  pelagon2::HostClient probe(host_path);
  if (!probe.started()) return false;
  const std::optional<Json> reply = probe.call("get_display_list", Json::object());
  return reply && reply->contains("result") && (*reply)["result"].is_array() && !(*reply)["result"].empty();
}

}  // namespace

DemoScreen choose_screen(const std::string& host_path, bool private_screen, bool have_window) {
  DemoScreen screen;
  const char* env_display = std::getenv("DISPLAY");
  if (!private_screen && env_display != nullptr && *env_display != '\0') {
    if (display_reachable(host_path)) {
      screen.own = true;
      std::printf("screen: yours (DISPLAY=%s)\n", env_display);
    } else {
      std::printf("DISPLAY=%s shows the host no screen; using a private one instead\n", env_display);
    }
  }
  if (!screen.own) {
    if (!have_window) {
      std::printf("screen: none (this build has no X11 support)\n");
    } else {
      screen.private_display = start_xvfb(screen.xvfb);
      if (screen.private_display.empty()) {
        std::printf("screen: none (Xvfb could not be started; install the xvfb package)\n");
      } else {
        std::printf("screen: a private X server, Xvfb %s (%s), pid %d\n", screen.private_display.c_str(),
                    kPrivateScreen, static_cast<int>(screen.xvfb.pid));
      }
    }
  }
  return screen;
}

}  // namespace pelagon2::demo
