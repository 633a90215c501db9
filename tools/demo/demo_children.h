#pragma once
// The demo's child processes (the host, its window, a private X server):
// started with optional pipes, stopped without leaving zombies, and ended
// with the demo when a signal ends it.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace pelagon2::demo {

// A child process with optional pipes to its standard input and output; the
// rest of its standard streams go to /dev/null.
struct Child {
  pid_t pid = -1;
  int in = -1;   // our end of its standard input
  int out = -1;  // our end of its standard output

  void close_pipes();
};

// Starts args[0] with args[1..] and the environment changed by `env_changes`.
// Every descriptor of ours is close-on-exec, so only the standard streams (and
// a descriptor made without that flag on purpose) reach the child. pid -1 if
// it could not be started.
Child spawn(std::vector<std::string> args, const std::vector<std::string>& env_changes, bool pipe_in, bool pipe_out);

// Waits for `pid` up to `timeout`, then kills it; never leaves a zombie.
// With a `signal_number`, sends it first.
void stop_child(pid_t pid, int signal_number, std::chrono::milliseconds timeout);

// Children a signal must end with the demo: spawn() remembers its own; the
// host's client starts the host itself.
void remember_child(pid_t pid);
void forget_child(pid_t pid);

// SIGINT, SIGTERM and SIGHUP end the remembered children, then the demo.
void end_children_on_signals();

}  // namespace pelagon2::demo
