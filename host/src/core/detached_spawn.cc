#include "core/detached_spawn.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "core/file_io.h"  // contains_nul
#include "core/os_error.h"
#include "core/posix.h"

extern char** environ;

namespace pelagon2 {
namespace {

// With SIGCHLD ignored (a disposition a parent may hand down) the system reaps
// every child itself, and waiting for one fails; no zombie can arise then.
bool children_reaped_by_system() {
  struct sigaction current {};
  if (::sigaction(SIGCHLD, nullptr, &current) != 0) return false;
  return current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0;
}

// The attributes and file actions of one spawn, prepared before any fork.
class SpawnSetup {
 public:
  explicit SpawnSetup(const ChildStreams& streams) {
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_init(&actions_);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr_, &defaults);
    short flags = POSIX_SPAWN_SETSIGDEF;
    const int targets[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
    const int sources[] = {streams.input, streams.output, streams.error};
    bool all_given = true;
    for (int i = 0; i < 3; ++i) {
      if (sources[i] >= 0) {
        posix_spawn_file_actions_adddup2(&actions_, sources[i], targets[i]);
      } else {
        all_given = false;
      }
    }
    // Nothing but the three streams reaches the child.
    if (all_given) flags = static_cast<short>(flags | spawn_flags_closing_other_descriptors());
    posix_spawnattr_setflags(&attr_, flags);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }

  // 0 with `pid` set, or the error number.
  int spawn(char* const* argv, pid_t& pid, char* const* envp = environ) const {
    return ::posix_spawnp(&pid, argv[0], &actions_, &attr_, argv, envp);
  }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

// The argument vector of `program`; empty when a NUL would silently cut an
// argument short.
std::vector<char*> argument_vector(const std::string& program, const std::vector<std::string>& arguments) {
  if (contains_nul(program)) return {};
  for (const std::string& argument : arguments) {
    if (contains_nul(argument)) return {};
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  return argv;
}

std::string_view entry_name(std::string_view entry) { return entry.substr(0, entry.find('=')); }

// The host's environment with `changes` put in, as spawn_child describes.
std::vector<std::string> changed_environment(const std::vector<std::string>& changes) {
  const auto changed_later = [&](std::string_view name, std::size_t after) {
    for (std::size_t i = after; i < changes.size(); ++i) {
      if (entry_name(changes[i]) == name) return true;
    }
    return false;
  };
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!changed_later(entry_name(*entry), 0)) result.emplace_back(*entry);
  }
  for (std::size_t i = 0; i < changes.size(); ++i) {
    if (!changed_later(entry_name(changes[i]), i + 1)) result.push_back(changes[i]);
  }
  return result;
}

}  // namespace

int spawn_child(const std::string& program, const std::vector<std::string>& arguments, const ChildStreams& streams,
                pid_t& pid) {
  const std::vector<char*> argv = argument_vector(program, arguments);
  if (argv.empty()) return EINVAL;
  return SpawnSetup(streams).spawn(argv.data(), pid);
}

int spawn_child(const std::string& program, const std::vector<std::string>& arguments, const ChildStreams& streams,
                const std::vector<std::string>& environment_changes, pid_t& pid) {
  const std::vector<char*> argv = argument_vector(program, arguments);
  if (argv.empty()) return EINVAL;
  std::vector<std::string> environment = changed_environment(environment_changes);
  for (const std::string& entry : environment) {
    if (contains_nul(entry)) return EINVAL;
  }
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  return SpawnSetup(streams).spawn(argv.data(), pid, envp.data());
}

int start_detached(const std::string& program, const std::vector<std::string>& arguments,
                   const ChildStreams& streams) {
  const std::vector<char*> argv = argument_vector(program, arguments);
  if (argv.empty()) return EINVAL;
  const SpawnSetup setup(streams);
  pid_t child = -1;
  if (children_reaped_by_system()) return setup.spawn(argv.data(), child);

  // A short-lived intermediate process starts the program and exits at once,
  // passing the spawn result as its exit status; once it is reaped the program
  // is an orphan that the system reaps. Everything is prepared before the fork
  // and the intermediate does nothing but spawn and leave through _exit, so it
  // never flushes the host's buffered protocol stream a second time.
  const pid_t intermediate = ::fork();
  if (intermediate < 0) return errno;
  if (intermediate == 0) {
    const int rc = setup.spawn(argv.data(), child);
    ::_exit(rc >= 0 && rc <= 0xFF ? rc : EAGAIN);
  }
  int status = 0;
  while (::waitpid(intermediate, &status, 0) != intermediate) {
    if (errno != EINTR) return errno;
  }
  if (!WIFEXITED(status)) return ECHILD;
  return WEXITSTATUS(status);
}

Done spawn_detached(const std::string& program, const std::vector<std::string>& arguments) {
  if (const int rc = start_detached(program, arguments); rc != 0) return make_error(os_error_description(rc));
  return std::monostate{};
}

}  // namespace pelagon2
