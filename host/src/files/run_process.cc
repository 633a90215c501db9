#include "files/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "core/detached_spawn.h"
#include "core/posix.h"
#include "core/utf8.h"
#include "files/file_params.h"

namespace pelagon2::files {
namespace {

constexpr const char* kShell = "/bin/sh";
constexpr std::string_view kNulInCommandMessage = "nul byte found in provided data";

// Descriptors 0 to 2 are the targets of the child's dup2 actions; one of ours
// sitting there (when the host was started with a standard stream closed)
// would be overwritten before it is copied.
Expected<UniqueFd> above_stdio(int fd) {
  UniqueFd owned(fd);
  if (fd > STDERR_FILENO) return owned;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return make_error(os_error_text(errno));
  return UniqueFd(moved);
}

Expected<UniqueFd> open_null_device(int flags) {
  const int fd = ::open("/dev/null", flags | O_CLOEXEC);
  if (fd < 0) return make_error(os_error_text(errno));
  return above_stdio(fd);
}

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// Both ends close on exec, so no other child inherits them; the child gets its
// write end only through an explicit dup2.
Expected<Pipe> make_pipe() {
  int fds[2];
  if (!cloexec_pipe(fds)) return make_error(os_error_text(errno));
  auto read_end = above_stdio(fds[0]);
  auto write_end = above_stdio(fds[1]);
  if (!read_end) return std::move(read_end).take_error();
  if (!write_end) return std::move(write_end).take_error();
  return Pipe{std::move(read_end).value(), std::move(write_end).value()};
}

int wait_for(pid_t pid, int& status) {
  for (;;) {
    if (::waitpid(pid, &status, 0) == pid) return 0;
    if (errno != EINTR) return errno;
  }
}

// Keeps the first `limit` bytes of one output stream and notes whether more came.
struct Capture {
  UniqueFd fd;
  std::string* kept;
  bool overflowed = false;

  // False once the stream has ended (or failed, which ends it too).
  bool read_some(std::size_t limit) {
    char buffer[64 * 1024];
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (got <= 0) {
      fd.reset();
      return false;
    }
    const auto n = static_cast<std::size_t>(got);
    const std::size_t room = limit - std::min(limit, kept->size());
    kept->append(buffer, std::min(n, room));
    if (n > room) overflowed = true;
    return true;
  }
};

// Reads both pipes as data arrives until both have ended: a child blocked on a
// full pipe would never exit, so reading continues past the limit.
void drain(Capture& out, Capture& err, std::size_t limit) {
  std::array<Capture*, 2> captures{&out, &err};
  std::array<pollfd, 2> fds{};
  for (std::size_t i = 0; i < fds.size(); ++i) fds[i] = pollfd{captures[i]->fd.get(), POLLIN, 0};
  for (;;) {
    if (fds[0].fd < 0 && fds[1].fd < 0) return;
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;  // cannot wait any more; the waitpid that follows still ends the run
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      if (!captures[i]->read_some(limit)) fds[i].fd = -1;
    }
  }
}

}  // namespace

std::string shell_quote(std::string_view program) {
  std::string quoted = "'";
  for (const char c : program) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string shell_command_line(std::string_view program, std::string_view arguments) {
  std::string line = shell_quote(program);
  line += ' ';
  line += arguments;
  return line;
}

Expected<CapturedRun> run_shell_captured(const std::string& command_line, std::size_t limit) {
  auto input = open_null_device(O_RDONLY);
  if (!input) return std::move(input).take_error();
  auto out_pipe = make_pipe();
  if (!out_pipe) return std::move(out_pipe).take_error();
  auto err_pipe = make_pipe();
  if (!err_pipe) return std::move(err_pipe).take_error();

  pid_t pid = -1;
  const ChildStreams streams{input->get(), out_pipe->write_end.get(), err_pipe->write_end.get()};
  if (const int rc = spawn_child(kShell, {"-c", command_line}, streams, pid); rc != 0) {
    return make_error(os_error_text(rc));
  }
  // Only the child may hold the write ends, or the reads below never see their end.
  out_pipe->write_end.reset();
  err_pipe->write_end.reset();
  input->reset();

  CapturedRun run;
  Capture out{std::move(out_pipe->read_end), &run.out};
  Capture err{std::move(err_pipe->read_end), &run.err};
  drain(out, err, limit);
  run.truncated = out.overflowed || err.overflowed;
  // Should draining have stopped early, a child blocked on a full pipe now
  // fails its write instead of keeping the wait below from ever returning.
  out.fd.reset();
  err.fd.reset();

  int status = 0;
  // A failed wait leaves no exit status to report, like a signal death.
  if (wait_for(pid, status) == 0 && WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  return run;
}

Done start_shell_detached(const std::string& command_line) {
  auto null_device = open_null_device(O_RDWR);
  if (!null_device) return std::move(null_device).take_error();
  const int null_fd = null_device->get();
  if (const int rc = start_detached(kShell, {"-c", command_line}, {null_fd, null_fd, null_fd}); rc != 0) {
    return make_error(os_error_text(rc));
  }
  return std::monostate{};
}

Outcome run_process(const Json& params) {
  auto file_name = string_param(params, "fileName");
  if (!file_name) return std::move(file_name).take_error();
  std::string arguments;
  bool wait_for_exit = false;
  if (const std::string* given = string_member(params, "arguments")) arguments = *given;
  if (const Json* wait = find_member(params, "waitForExit"); wait != nullptr && wait->is_boolean()) {
    wait_for_exit = wait->get<bool>();
  }

  const auto run_failed = [&](std::string_view reason) {
    return make_error("run_failed: " + *file_name + ": " + std::string(reason));
  };
  // The shell takes its command line as a C string; a NUL would cut it short.
  if (contains_nul(*file_name) || contains_nul(arguments)) return run_failed(kNulInCommandMessage);
  const std::string command_line = shell_command_line(*file_name, arguments);

  if (!wait_for_exit) {
    auto started = start_shell_detached(command_line);
    if (!started) return run_failed(started.error());
    return Json{{"exitCode", nullptr}};
  }

  auto run = run_shell_captured(command_line);
  if (!run) return run_failed(run.error());
  Json result = Json::object();
  result["exitCode"] = run->exit_code ? Json(static_cast<unsigned>(*run->exit_code)) : Json(nullptr);
  result["outputTruncated"] = run->truncated;
  result["stderr"] = utf8_lossy(run->err);
  result["stdout"] = utf8_lossy(run->out);
  return result;
}

}  // namespace pelagon2::files
