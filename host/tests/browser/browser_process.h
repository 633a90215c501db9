// Starting, ending and finding the processes of a browser under test: shared
// by the Chromium and Firefox sessions.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/temp_tree.h"

namespace pelagon2::testing {

// argv/envp for posix_spawn: pointers into `strings`, null-terminated.
inline std::vector<char*> spawn_pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Starts `args` with `env`, standard input from /dev/null and both output
// streams into `log`; `handed` are (descriptor, number in the child) pairs;
// `own_group` puts it at the head of a process group of its own. The pid, or
// -1 with `error` set.
inline pid_t spawn_logged(std::vector<std::string> args, std::vector<std::string> env, const std::string& log,
                          const std::vector<std::pair<int, int>>& handed, bool own_group, std::string& error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  for (const auto& [fd, target] : handed) posix_spawn_file_actions_adddup2(&actions, fd, target);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (own_group) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  pid_t pid = -1;
  const int rc =
      ::posix_spawn(&pid, args[0].c_str(), &actions, &attr, spawn_pointers(args).data(), spawn_pointers(env).data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error = "cannot start " + args[0] + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}

// Waits up to `limit` for `pid` to exit, leaving it unreaped (so its process
// group id cannot be reused meanwhile).
inline bool wait_exit_without_reaping(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
      return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// After a polite request to quit: gives the group leader `grace` to go, kills
// it otherwise, then kills whatever is left in its group and reaps it.
inline void end_process_group(pid_t leader, std::chrono::seconds grace) {
  if (!wait_exit_without_reaping(leader, grace)) ::kill(leader, SIGKILL);
  wait_exit_without_reaping(leader, std::chrono::seconds(10));
  // The leader is still unreaped, so the group id cannot have been reused.
  ::kill(-leader, SIGKILL);
  int status = 0;
  while (::waitpid(leader, &status, 0) < 0 && errno == EINTR) {
  }
}

// Processes still running with `home` as their HOME, which the browser and
// every host it started have: "pid name" lines, empty when all are gone.
inline std::string processes_with_home(const std::string& home) {
  const std::string marker = "HOME=" + home;
  std::string out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string env = read_file(entry.path().string() + "/environ");
    bool found = false;
    for (std::size_t at = 0; at < env.size() && !found;) {
      const std::size_t end = std::min(env.find('\0', at), env.size());
      found = std::string_view(env).substr(at, end - at) == marker;
      at = end + 1;
    }
    if (!found) continue;
    // A zombie is already gone; only its parent has not reaped it yet.
    const std::string stat = read_file(entry.path().string() + "/stat");
    const std::size_t paren = stat.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z') continue;
    std::string command = read_file(entry.path().string() + "/comm");
    while (!command.empty() && command.back() == '\n') command.pop_back();
    out += name + " " + command + "\n";
  }
  return out;
}

// Waits up to `grace` for the processes with `home` to go; those still left.
inline std::string leftovers_after(const std::string& home, std::chrono::milliseconds grace) {
  const auto deadline = std::chrono::steady_clock::now() + grace;
  std::string left = processes_with_home(home);
  while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    left = processes_with_home(home);
  }
  return left;
}

// The last `max` bytes of a log, for failure messages.
inline std::string log_file_tail(const std::string& path, std::size_t max) {
  std::string log = read_file(path);
  return log.size() > max ? log.substr(log.size() - max) : log;
}

}  // namespace pelagon2::testing
