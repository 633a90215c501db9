#include "platform/detached_spawn.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "core/os_error.h"

extern char** environ;

namespace pelagon2::platform {
namespace {

Error os_error(int errnum) { return make_error(os_error_description(errnum)); }

bool contains_nul(const std::string& text) { return text.find('\0') != std::string::npos; }

// With SIGCHLD ignored (a disposition a parent may hand down) the system reaps
// every child itself, and waiting for one fails; no zombie can arise then.
bool children_reaped_by_system() {
  struct sigaction current {};
  if (::sigaction(SIGCHLD, nullptr, &current) != 0) return false;
  return current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0;
}

class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attr_);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr_, &defaults);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

}  // namespace

Done spawn_detached(const std::string& program, const std::vector<std::string>& arguments) {
  // A NUL would silently cut an argument short.
  if (contains_nul(program)) return os_error(EINVAL);
  for (const std::string& argument : arguments) {
    if (contains_nul(argument)) return os_error(EINVAL);
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const SpawnAttributes attributes;

  if (children_reaped_by_system()) {
    pid_t child = -1;
    if (const int rc = ::posix_spawnp(&child, argv[0], nullptr, attributes.get(), argv.data(), environ); rc != 0) {
      return os_error(rc);
    }
    return std::monostate{};
  }

  // A short-lived intermediate process starts the program and exits at once,
  // passing the spawn result as its exit status; once it is reaped the program
  // is an orphan that the system reaps. Everything is prepared before the fork
  // and the intermediate does nothing but spawn and leave through _exit, so it
  // never flushes the host's buffered protocol stream a second time.
  const pid_t intermediate = ::fork();
  if (intermediate < 0) return os_error(errno);
  if (intermediate == 0) {
    pid_t child = -1;
    const int rc = ::posix_spawnp(&child, argv[0], nullptr, attributes.get(), argv.data(), environ);
    ::_exit(rc >= 0 && rc <= 0xFF ? rc : EAGAIN);
  }
  int status = 0;
  while (::waitpid(intermediate, &status, 0) != intermediate) {
    if (errno != EINTR) return os_error(errno);
  }
  if (!WIFEXITED(status)) return os_error(ECHILD);
  if (const int rc = WEXITSTATUS(status); rc != 0) return os_error(rc);
  return std::monostate{};
}

}  // namespace pelagon2::platform
