#pragma once
// A private X server for tests: Xvfb on a display number it picks itself
// (never one the test did not start), stopped by its pid when the test ends.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    // Only the write end may reach Xvfb; -displayfd names it.
    const int child_fd = fcntl(fds[1], F_DUPFD, 10);
    close(fds[1]);
    std::vector<std::string> args = {"Xvfb", "-displayfd", std::to_string(child_fd), "-nolisten", "tcp", "-noreset",
                                     "-screen", "0", screen};
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
      return;
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
    if (number.empty() || number.find('\n') == std::string::npos) {
      stop();
      return;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
  }

  ~XvfbServer() { stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool running() const { return !display_.empty(); }
  const std::string& display() const { return display_; }  // ":N"
  pid_t pid() const { return pid_; }

  // Stops the server (also usable mid-test to make the display vanish).
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    display_.clear();
  }

 private:
  pid_t pid_ = -1;
  std::string display_;
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
