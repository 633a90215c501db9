#pragma once
// send_mouse_event, send_mouse_wheel_event and send_text: each validates its
// parameters and builds the whole action list before anything is sent.

#include <cstdint>
#include <optional>

#include "core/json.h"
#include "core/outcome.h"
#include "platform/input_action.h"
#include "platform/platform.h"

namespace pelagon2::input {

// A JSON number as a signed 64-bit integer: integers directly (unsigned ones
// above the signed range clamp to its maximum), fractions truncated toward
// zero with saturation, NaN as 0. nullopt for anything but a number.
std::optional<std::int64_t> number_as_int64(const Json& value);

// The low 32 bits of `value` as a signed 32-bit value.
constexpr std::int32_t low_32_bits(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

Expected<platform::InputActionList> mouse_event_actions(const Json& params);
Expected<platform::InputActionList> mouse_wheel_actions(const Json& params);
Expected<platform::InputActionList> text_actions(const Json& params);

Outcome send_mouse_event(const Json& params, platform::Platform& platform);
Outcome send_mouse_wheel_event(const Json& params, platform::Platform& platform);
Outcome send_text(const Json& params, platform::Platform& platform);

}  // namespace pelagon2::input
