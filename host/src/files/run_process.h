#pragma once
// Shell commands started for the client: waited for with both outputs
// captured, or left running in the background.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"
#include "core/outcome.h"

namespace pelagon2::files {

// The most of each output stream one reply carries.
inline constexpr std::size_t kMaxProcessOutput = 409600;

// `program` as one shell word: between apostrophes, each apostrophe inside
// written as '\''.
std::string shell_quote(std::string_view program);

// The quoted program, one blank, then `arguments` as the client wrote them.
std::string shell_command_line(std::string_view program, std::string_view arguments);

struct CapturedRun {
  std::optional<int> exit_code;  // empty when a signal ended the shell
  std::string out;               // at most `limit` bytes of each stream
  std::string err;
  bool truncated = false;  // either stream was longer than `limit`
};

// Runs "/bin/sh -c command_line" with stdin on the null device and both
// outputs on pipes, drained together to their ends whatever their length;
// keeps the first `limit` bytes of each. The error is the operating-system
// text of the failure to start.
Expected<CapturedRun> run_shell_captured(const std::string& command_line, std::size_t limit = kMaxProcessOutput);

// Starts "/bin/sh -c command_line" detached from the host, all three streams on
// the null device, and returns without waiting for it. The shell never lingers
// as the host's zombie, also when the host was started with SIGCHLD ignored.
Done start_shell_detached(const std::string& command_line);

Outcome run_process(const Json& params);

}  // namespace pelagon2::files
