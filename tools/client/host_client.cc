#include "tools/client/host_client.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/detached_spawn.h"
#include "core/posix.h"

namespace pelagon2 {

std::string frame(std::string_view body) {
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  out.append(body);
  return out;
}

HostClient::HostClient(std::string path, std::vector<std::string> env) {
  ::signal(SIGPIPE, SIG_IGN);
  int in_pipe[2];
  int out_pipe[2];
  if (!cloexec_pipe(in_pipe) || !cloexec_pipe(out_pipe)) {
    last_error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  // A path without a slash names a file in the working folder, not one on PATH.
  const std::string program = !path.empty() && path.find('/') == std::string::npos ? "./" + path : path;
  const int rc = spawn_child(program, {}, {in_pipe[0], out_pipe[1], -1}, env, pid_);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  to_host_ = in_pipe[1];
  from_host_ = out_pipe[0];
  if (rc != 0) {
    last_error_ = "cannot start " + path + ": " + std::strerror(rc);
    pid_ = -1;
  }
}

HostClient::~HostClient() {
  close_input();
  close_output();
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    wait_exit();
  }
}

bool HostClient::send_raw(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(to_host_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool HostClient::send_frame(std::string_view body) { return send_raw(frame(body)); }

bool HostClient::read_exact(char* dst, std::size_t n, int timeout_ms) {
  std::size_t have = 0;
  while (have < n) {
    pollfd pfd{from_host_, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, timeout_ms);
    if (ready == 0) {
      last_error_ = "timed out waiting for the host's output";
      return false;
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    const ssize_t got = ::read(from_host_, dst + have, n - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      last_error_ = "the host closed its output";
      return false;
    }
    have += static_cast<std::size_t>(got);
  }
  return true;
}

std::optional<std::string> HostClient::read_frame(int timeout_ms) {
  unsigned char header[4];
  if (!read_exact(reinterpret_cast<char*>(header), 4, timeout_ms)) return std::nullopt;
  const std::uint32_t length = std::uint32_t{header[0]} | (std::uint32_t{header[1]} << 8) |
                               (std::uint32_t{header[2]} << 16) | (std::uint32_t{header[3]} << 24);
  // The announced length is not trusted with memory: the body grows with the
  // bytes that actually arrive.
  constexpr std::size_t kFirstChunk = std::size_t{1} << 20;
  std::string body;
  while (body.size() < length) {
    const std::size_t have = body.size();
    body.resize(std::min<std::size_t>(length, std::max(kFirstChunk, have * 2)));
    if (!read_exact(body.data() + have, body.size() - have, timeout_ms)) {
      last_error_ = "reply truncated: expected " + std::to_string(length) + " bytes";
      return std::nullopt;
    }
  }
  return body;
}

std::optional<Json> HostClient::call(std::string_view method, const Json& params, const Json& id) {
  Json request = Json::object();
  request["id"] = id;
  request["method"] = std::string(method);
  request["params"] = params;
  if (!send_frame(to_json_text(request))) {
    last_error_ = "the host stopped reading";
    return std::nullopt;
  }
  std::optional<std::string> reply = read_frame();
  if (!reply) return std::nullopt;
  JsonParser parser;
  std::optional<Json> value = parser.parse(*reply);
  if (!value) last_error_ = "the reply is not valid JSON";
  return value;
}

void HostClient::close_input() {
  if (to_host_ >= 0) ::close(to_host_);
  to_host_ = -1;
}

void HostClient::close_output() {
  if (from_host_ >= 0) ::close(from_host_);
  from_host_ = -1;
}

std::string HostClient::read_to_end(int timeout_ms) {
  std::string out;
  char buf[65536];
  for (;;) {
    pollfd pfd{from_host_, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, timeout_ms);
    if (ready == 0) {
      last_error_ = "timed out waiting for the host to close its output";
      return out;
    }
    if (ready < 0 && errno == EINTR) continue;
    const ssize_t got = ::read(from_host_, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return out;
    out.append(buf, static_cast<std::size_t>(got));
  }
}

int HostClient::wait_exit() {
  if (exited_ || pid_ <= 0) return status_;
  int raw = 0;
  while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
  }
  exited_ = true;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
  return status_;
}

}  // namespace pelagon2
