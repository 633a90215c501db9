#pragma once
// Other programs on a private X server, for tests: a window of a process with
// a chosen executable name, and a window manager. Each is started with the
// test's display and stopped by its pid.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace pelagon2::testing {

// This process's environment with `changes` ("NAME=value") applied.
inline std::vector<std::string> environment_with(const std::vector<std::string>& changes) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& c : changes) replaced = replaced || c.substr(0, c.find('=')) == name;
    if (!replaced) out.push_back(entry);
  }
  out.insert(out.end(), changes.begin(), changes.end());
  return out;
}

// Waits for `pid` up to `timeout`, then kills it; never leaves a zombie.
inline void stop_process(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Copies `program` into `dir` as `name`, so the process that runs it has that
// executable name (a symbolic link would keep the target's).
inline std::string copy_program(const std::string& program, const std::string& dir, const std::string& name) {
  const std::string target = dir + "/" + name;
  std::error_code ec;
  std::filesystem::copy_file(program, target, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return {};
  ::chmod(target.c_str(), 0755);
  return target;
}

// One window of the window client (tests/x11/window_client.cc) run from
// `program`; ready() once the window is mapped and painted.
class WindowClient {
 public:
  WindowClient(const std::string& program, const std::string& display, std::vector<std::string> args = {}) {
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0) return;
    if (pipe2(from_child, O_CLOEXEC) != 0) {
      close(to_child[0]), close(to_child[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv_storage = {program};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_storage = environment_with({"DISPLAY=" + display});
    std::vector<char*> envp;
    for (std::string& e : env_storage) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(to_child[0]);
    close(from_child[1]);
    input_ = to_child[1];
    if (pid_ <= 0) {
      close(from_child[0]);
      return;
    }
    std::string line;
    pollfd p{from_child[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[64];
      const ssize_t n = read(from_child[0], buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    close(from_child[0]);
    if (line.rfind("ready ", 0) == 0) window_ = std::strtoul(line.c_str() + 6, nullptr, 10);
  }
  ~WindowClient() { stop(); }
  WindowClient(const WindowClient&) = delete;
  WindowClient& operator=(const WindowClient&) = delete;

  bool ready() const { return window_ != 0; }
  unsigned long window() const { return window_; }
  pid_t pid() const { return pid_; }

  // Closing its input tells the client to go.
  void stop() {
    if (input_ >= 0) close(input_), input_ = -1;
    if (pid_ > 0) stop_process(pid_), pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  unsigned long window_ = 0;
};

// A program run with `args` and environment changes ("NAME=value"), its
// output discarded; stopped by its pid.
class Program {
 public:
  Program(std::vector<std::string> args, const std::vector<std::string>& env) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_storage = environment_with(env);
    std::vector<char*> envp;
    for (std::string& e : env_storage) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Program() { stop(); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // SIGTERM lets it clean up; SIGKILL leaves what it set on the server behind.
  void stop(int signal_number = SIGTERM) {
    if (pid_ > 0) {
      kill(pid_, signal_number);
      stop_process(pid_);
      pid_ = -1;
    }
  }
  // Waits for it to end by itself; true when it exited with status 0.
  bool succeeded() {
    if (pid_ <= 0) return false;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
};

// The window managers tests run under, by command name (openbox, metacity),
// with a private home, so no configuration of the machine's user applies.
inline std::vector<std::string> window_manager_command(const std::string& name) {
  std::vector<std::string> args = {name, "--sm-disable"};
  if (name == "metacity") args.insert(args.begin() + 1, "--replace");
  return args;
}
inline std::vector<std::string> window_manager_environment(const std::string& display, const std::string& home) {
  return {"DISPLAY=" + display, "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config"};
}

// openbox on the display.
class WindowManager : public Program {
 public:
  WindowManager(const std::string& display, const std::string& home)
      : Program(window_manager_command("openbox"), window_manager_environment(display, home)) {}
};

}  // namespace pelagon2::testing
