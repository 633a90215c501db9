#pragma once
// Starting a program that the host does not wait for.

#include <string>
#include <variant>
#include <vector>

#include "core/outcome.h"

namespace pelagon2::platform {

// Starts `program` (looked up on PATH) with `arguments`, passed verbatim. The
// child inherits the host's standard streams, environment and working
// directory; SIGPIPE is back at its default action there. The host never waits
// for it, and it never lingers as the host's zombie. The error text is the
// operating system's description of why it could not be started.
Done spawn_detached(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace pelagon2::platform
