#pragma once
// Runs an input action list on the platform's input backend.

#include <variant>

#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::input {

// Executes `actions` in order. An empty list succeeds without touching the
// backend (no permission check, nothing sent). Otherwise the backend is opened
// for this call ("input_backend_unavailable: …"), the first failing action
// ends the run with "input_failed: {printed action}: {error}", and on every
// exit the keys still held are released, the pacing wait is slept and the
// session is closed.
Done execute_input_actions(const platform::InputActionList& actions, platform::InputBackend& backend);

}  // namespace pelagon2::input
