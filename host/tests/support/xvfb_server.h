#pragma once
// A private X server for tests: Xvfb on a display number it picks itself
// (never one the test did not start), stopped by its pid when the test ends.

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace pelagon2::testing {

class XvfbServer {
 public:
  // `screen` is WIDTHxHEIGHTxDEPTH. Extra arguments go to Xvfb as they are.
  explicit XvfbServer(const std::string& screen = "1280x800x24", std::vector<std::string> extra = {}) {
    const std::string number = launch({"-screen", "0", screen}, extra);
    if (!number.empty()) display_ = ":" + number;
  }

  ~XvfbServer() {
    stop();
    if (!held_lock_.empty()) unlink(held_lock_.c_str());
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& display() const { return display_; }  // ":N", kept after stop()
  pid_t pid() const { return pid_; }

  // Stops the server (also usable mid-test to make the display vanish). The
  // display number stays reserved until this object is gone: otherwise a
  // test running beside this one may start its server there, and this test's
  // clients would reconnect to a screen that is not theirs. The server's lock
  // file is made to name this process before the server is killed, and the
  // kill leaves it in place, so the number is never free in between.
  void stop() {
    if (pid_ <= 0) return;
    if (!display_.empty() && held_lock_.empty()) {
      const std::string path = "/tmp/.X" + display_.substr(1) + "-lock";
      chmod(path.c_str(), 0644);  // Xvfb leaves it read-only
      const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (fd >= 0) {
        char text[16];
        const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
        if (write(fd, text, static_cast<std::size_t>(n)) == n) held_lock_ = path;
        close(fd);
      }
    }
    // SIGKILL: a server that shuts down in order removes its lock file.
    kill(pid_, held_lock_.empty() ? SIGTERM : SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    // The killed server's socket file; the lock keeps anyone from binding it.
    if (!held_lock_.empty()) unlink(("/tmp/.X11-unix/X" + display_.substr(1)).c_str());
  }

  // A new server on the stopped one's display number, as when a user's
  // session restarts its X server. False when it did not come up.
  bool restart(const std::string& screen) {
    if (pid_ > 0 || display_.empty()) return false;
    // The reservation stays in place; the new server does without a lock.
    return !launch({display_, "-nolock", "-screen", "0", screen}, {}).empty();
  }

 private:
  // Starts Xvfb and waits until it accepts connections; its display number,
  // or empty when it did not start.
  std::string launch(std::vector<std::string> args, const std::vector<std::string>& extra) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    // Only the write end may reach Xvfb; -displayfd names it.
    const int child_fd = fcntl(fds[1], F_DUPFD, 10);
    close(fds[1]);
    args.insert(args.begin(), {"Xvfb", "-displayfd", std::to_string(child_fd), "-nolisten", "tcp", "-noreset"});
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(child_fd);
    if (rc != 0) {
      pid_ = -1;
      close(fds[0]);
      return {};
    }
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && number.find('\n') == std::string::npos) {
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[32];
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      number.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      stop();
      return {};
    }
    return number.substr(0, number.find('\n'));
  }

  pid_t pid_ = -1;
  std::string display_;
  std::string held_lock_;
};

// Points this process's DISPLAY at `value` (nullptr unsets it) for a scope.
class ScopedDisplayEnv {
 public:
  explicit ScopedDisplayEnv(const char* value) {
    if (const char* old = std::getenv("DISPLAY")) saved_ = old, had_ = true;
    if (value) {
      setenv("DISPLAY", value, 1);
    } else {
      unsetenv("DISPLAY");
    }
  }
  ~ScopedDisplayEnv() {
    if (had_) {
      setenv("DISPLAY", saved_.c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
  }
  ScopedDisplayEnv(const ScopedDisplayEnv&) = delete;
  ScopedDisplayEnv& operator=(const ScopedDisplayEnv&) = delete;

 private:
  std::string saved_;
  bool had_ = false;
};

}  // namespace pelagon2::testing
