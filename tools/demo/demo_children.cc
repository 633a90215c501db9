#include "tools/demo/demo_children.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "core/detached_spawn.h"
#include "core/file_io.h"
#include "core/posix.h"

namespace pelagon2::demo {

namespace {

using Clock = std::chrono::steady_clock;

// Children that a signal must not leave behind.
constexpr int kMaxChildren = 4;
volatile pid_t g_children[kMaxChildren] = {-1, -1, -1, -1};

void on_signal(int signal_number) {
  for (auto& slot : g_children) {
    if (slot > 0) ::kill(slot, SIGTERM);
  }
  for (auto& slot : g_children) {
    if (slot > 0) ::waitpid(slot, nullptr, 0);
  }
  ::_exit(128 + signal_number);
}

}  // namespace

void Child::close_pipes() {
  if (in >= 0) ::close(in), in = -1;
  if (out >= 0) ::close(out), out = -1;
}

void remember_child(pid_t pid) {
  for (auto& slot : g_children) {
    if (slot <= 0) {
      slot = pid;
      return;
    }
  }
}

void forget_child(pid_t pid) {
  for (auto& slot : g_children) {
    if (slot == pid) slot = -1;
  }
}

void stop_child(pid_t pid, int signal_number, std::chrono::milliseconds timeout) {
  if (pid <= 0) return;
  if (signal_number != 0) ::kill(pid, signal_number);
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  while (Clock::now() < deadline) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      forget_child(pid);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  forget_child(pid);
}

Child spawn(std::vector<std::string> args, const std::vector<std::string>& env_changes, bool pipe_in, bool pipe_out) {
  Child child;
  int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
  const pelagon2::UniqueFd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const pelagon2::UniqueFd null_out(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null_in.valid() || !null_out.valid() || (pipe_in && !pelagon2::cloexec_pipe(in_pipe)) ||
      (pipe_out && !pelagon2::cloexec_pipe(out_pipe))) {
    for (const int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]}) {
      if (fd >= 0) ::close(fd);
    }
    return child;
  }
  const pelagon2::ChildStreams streams{pipe_in ? in_pipe[0] : null_in.get(), pipe_out ? out_pipe[1] : null_out.get(),
                                       null_out.get()};
  const std::string program = args.front();
  args.erase(args.begin());
  const int rc = pelagon2::spawn_child(program, args, streams, env_changes, child.pid);
  if (pipe_in) ::close(in_pipe[0]), child.in = in_pipe[1];
  if (pipe_out) ::close(out_pipe[1]), child.out = out_pipe[0];
  if (rc != 0) {
    child.pid = -1;
    child.close_pipes();
    return child;
  }
  remember_child(child.pid);
  return child;
}

void end_children_on_signals() {
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, on_signal);
}

}  // namespace pelagon2::demo
