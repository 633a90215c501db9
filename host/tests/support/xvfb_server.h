#pragma once
// A private X server for tests: Xvfb on a display number it picks itself
// (never one the test did not start), stopped by its pid when the test ends.

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
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
    release_reservation();
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& display() const { return display_; }  // ":N", kept after stop()
  pid_t pid() const { return pid_; }

  // Stops the server (also usable mid-test to make the display vanish). The
  // display number stays reserved until this object is gone: otherwise a
  // test running beside this one may start its server there, and this test's
  // clients would reconnect to a screen that is not theirs. Servers that
  // choose a free number for themselves skip one whose abstract socket name
  // is bound (they do not heed lock files), so that name is bound, without
  // listening, the moment the server is gone: clients are refused at once.
  void stop() {
    if (pid_ <= 0) return;
    // SIGKILL: the name is free from the moment the server is gone until it
    // is bound here, and an orderly shutdown would widen that gap.
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (display_.empty()) return;
    if (reserved_ < 0) reserved_ = bind_abstract_name(display_.substr(1));
    // What the killed server left behind.
    unlink(("/tmp/.X11-unix/X" + display_.substr(1)).c_str());
    unlink(("/tmp/.X" + display_.substr(1) + "-lock").c_str());
  }

  // A new server on the stopped one's display number, as when a user's
  // session restarts its X server. False when it did not come up; then
  // number_taken() tells whether a server of another test took the number in
  // the moment between letting it go and the new server's start.
  bool restart(const std::string& screen) {
    if (pid_ > 0 || display_.empty()) return false;
    release_reservation();
    if (!launch({display_, "-nolock", "-screen", "0", screen}, {}).empty()) return true;
    number_taken_ = reserved_ < 0;
    return false;
  }
  bool number_taken() const { return number_taken_; }

 private:
  // A socket bound to the X server's abstract name for display `number`.
  static int bind_abstract_name(const std::string& number) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "/tmp/.X11-unix/X" + number;
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] == 0: abstract
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  void release_reservation() {
    if (reserved_ >= 0) close(reserved_);
    reserved_ = -1;
  }

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
  int reserved_ = -1;
  bool number_taken_ = false;
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
