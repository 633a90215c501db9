#pragma once
// Input on Wayland in the kernel's terms: compositors take evdev codes for
// buttons and keys, and wheel motion as axis events. Portable: the codes are
// written out (linux/input-event-codes.h values), so no Linux header is needed.

#include <cstdint>
#include <optional>

#include "platform/input_action.h"

namespace pelagon2::platform::wayland {

using EvdevCode = std::uint32_t;

inline constexpr EvdevCode kBtnLeft = 0x110;
inline constexpr EvdevCode kBtnRight = 0x111;
inline constexpr EvdevCode kBtnMiddle = 0x112;

inline constexpr EvdevCode kKeyEsc = 1;
inline constexpr EvdevCode kKeyBackspace = 14;
inline constexpr EvdevCode kKeyTab = 15;
inline constexpr EvdevCode kKeyEnter = 28;
inline constexpr EvdevCode kKeyLeftCtrl = 29;
inline constexpr EvdevCode kKeyLeftShift = 42;
inline constexpr EvdevCode kKeyLeftAlt = 56;
inline constexpr EvdevCode kKeySpace = 57;
inline constexpr EvdevCode kKeyRightAlt = 100;
inline constexpr EvdevCode kKeyLeftMeta = 125;
inline constexpr EvdevCode kKeyF13 = 183;  // F13…F24 are 183…194
inline constexpr EvdevCode kKeyF24 = 194;

// xkb key codes are evdev codes plus 8.
inline constexpr std::uint32_t kXkbOffset = 8;

EvdevCode button_code(MouseButton button);
EvdevCode modifier_code(Modifier modifier);  // the left-hand key of each
// The key of a US keyboard for `key`; nullopt for a function-key number
// outside 1…24, a digit above 9 or a payload that is no lower-case letter.
std::optional<EvdevCode> key_code(const Key& key);

// wl_pointer axes.
enum class Axis : std::uint8_t { vertical = 0, horizontal = 1 };

// One wheel action as axis events, with X11's sign convention (a positive
// vertical amount scrolls down, a positive horizontal one right, so content
// moves as on macOS): `steps` discrete clicks of 15 units each, capped as on
// X11; no event at all for 0.
inline constexpr std::int32_t kWheelStepValue = 15;
inline constexpr std::int32_t kMaxWheelSteps = 100;
struct WheelAxis {
  Axis axis = Axis::vertical;
  std::int32_t steps = 0;  // signed
  std::int32_t value() const { return steps * kWheelStepValue; }
};
WheelAxis wheel_axis(bool vertical, std::int32_t lines);

}  // namespace pelagon2::platform::wayland
