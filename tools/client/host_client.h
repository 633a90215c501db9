#pragma once
// Starts a host process and talks to it over pipes in the framed protocol.
// Used by the command-line client and by the wire tests.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

namespace pelagon2 {

class HostClient {
 public:
  // `env` entries ("NAME=value") are added to, or replace entries of, this
  // process's environment for the host.
  explicit HostClient(std::string path, std::vector<std::string> env = {});
  ~HostClient();
  HostClient(const HostClient&) = delete;
  HostClient& operator=(const HostClient&) = delete;

  bool started() const { return pid_ > 0; }
  // Why the last operation failed, for messages.
  const std::string& last_error() const { return last_error_; }

  // False when the host no longer reads.
  bool send_raw(std::string_view bytes);
  bool send_frame(std::string_view body);

  // The next reply body; nullopt at end of output, on a timeout or a truncated
  // frame (last_error() says which).
  std::optional<std::string> read_frame(int timeout_ms = 60000);

  // Sends {"id":id,"method":method,"params":params}; the parsed reply, or nullopt.
  std::optional<Json> call(std::string_view method, const Json& params = Json(), const Json& id = Json(1));

  void close_input();
  void close_output();
  // Everything the host still writes until it closes its output (or the timeout).
  std::string read_to_end(int timeout_ms = 60000);
  // Waits for the host to exit; its exit status, or minus the signal number.
  int wait_exit();

  pid_t pid() const { return pid_; }

 private:
  bool read_exact(char* dst, std::size_t n, int timeout_ms);

  pid_t pid_ = -1;
  int to_host_ = -1;
  int from_host_ = -1;
  bool exited_ = false;
  int status_ = 0;
  std::string last_error_;
};

// A length-prefixed frame (little-endian length, as on every supported host).
std::string frame(std::string_view body);

}  // namespace pelagon2
