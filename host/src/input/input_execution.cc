#include "input/input_execution.h"

#include <memory>
#include <string>

#include "input/printed_form.h"

namespace pelagon2::input {

Done execute_input_actions(const platform::InputActionList& actions, platform::InputBackend& backend) {
  if (actions.empty()) return std::monostate{};
  platform::EventPacing pacing(backend.clock());
  Expected<std::unique_ptr<platform::InputSession>> opened = backend.open(pacing);
  if (!opened) return std::move(opened).take_error();
  platform::InputSession& session = **opened;

  Done result = std::monostate{};
  for (const platform::InputAction& action : actions) {
    Done done = session.perform(action);
    if (!done) {
      result = make_error("input_failed: " + printed_form(action) + ": " + done.error());
      break;
    }
  }
  session.release_held_keys();
  pacing.finish();
  session.close();
  return result;
}

}  // namespace pelagon2::input
