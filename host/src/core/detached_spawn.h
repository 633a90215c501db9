#pragma once
// Starting programs: children the host waits for, and programs it leaves
// running on their own.

#include <sys/types.h>

#include <string>
#include <variant>
#include <vector>

#include "core/outcome.h"

namespace pelagon2 {

// The child's standard streams: descriptors of the host's copied there, or -1
// for the host's own stream. With all three given, nothing else of the host's
// reaches the child even where descriptors are not closed on exec by default.
struct ChildStreams {
  int input = -1;
  int output = -1;
  int error = -1;
};

// Starts `program` (looked up on PATH unless it holds a slash) as a child of
// the host, which must wait for it, with `arguments` passed verbatim. The child
// gets `streams` and inherits the host's environment and working directory;
// SIGPIPE is back at its default action there. 0 with `pid` set, or the error
// number (EINVAL for a NUL in the program or an argument).
int spawn_child(const std::string& program, const std::vector<std::string>& arguments, const ChildStreams& streams,
                pid_t& pid);

// spawn_child with the host's environment changed: each of `environment_changes`
// ("NAME=value") replaces the entry of its name or is added; of two with one
// name the later wins.
int spawn_child(const std::string& program, const std::vector<std::string>& arguments, const ChildStreams& streams,
                const std::vector<std::string>& environment_changes, pid_t& pid);

// Starts `program` as spawn_child does, but the host never waits for it and
// it never lingers as the host's zombie. 0 once started, else the error number.
int start_detached(const std::string& program, const std::vector<std::string>& arguments,
                   const ChildStreams& streams = {});

// start_detached with the host's standard streams; the error text is the
// operating system's description of the failure.
Done spawn_detached(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace pelagon2
