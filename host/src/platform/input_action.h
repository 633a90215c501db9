#pragma once
// The input action list: what the input methods build from a request and an
// input backend executes, in order. Plain records only.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace pelagon2::platform {

enum class Modifier : std::uint8_t { Ctrl, Alt, Shift, Meta };

// The wire value of a `button` parameter is the index: 1 is the right button.
enum class MouseButton : std::uint8_t { Left, Right, Middle };

enum class KeyKind : std::uint8_t {
  Up,
  Right,
  Down,
  Left,
  PageUp,
  PageDown,
  Backspace,
  Delete,
  Enter,
  Tab,
  Escape,
  Home,
  Space,
  End,
  F,       // payload: function-key number 1 to 15
  Digit,   // payload: digit value 0 to 9
  Letter,  // payload: the lower-case ASCII letter
  Comma,
  Period,
  Semicolon,
  Minus,
};

struct Key {
  KeyKind kind = KeyKind::Enter;
  std::uint8_t payload = 0;
  friend bool operator==(const Key&, const Key&) = default;
};

namespace action {

// Global display coordinates in points: origin at the main display's
// top-left corner, y down.
struct MouseMove {
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const MouseMove&, const MouseMove&) = default;
};
struct ButtonDown {
  MouseButton button = MouseButton::Left;
  friend bool operator==(const ButtonDown&, const ButtonDown&) = default;
};
struct ButtonUp {
  MouseButton button = MouseButton::Left;
  friend bool operator==(const ButtonUp&, const ButtonUp&) = default;
};
struct ModifierDown {
  Modifier modifier = Modifier::Ctrl;
  friend bool operator==(const ModifierDown&, const ModifierDown&) = default;
};
struct ModifierUp {
  Modifier modifier = Modifier::Ctrl;
  friend bool operator==(const ModifierUp&, const ModifierUp&) = default;
};
struct KeyTap {
  Key key;
  friend bool operator==(const KeyTap&, const KeyTap&) = default;
};
struct TypeText {
  std::string text;  // UTF-8
  friend bool operator==(const TypeText&, const TypeText&) = default;
};
struct WheelVertical {
  std::int32_t lines = 0;
  friend bool operator==(const WheelVertical&, const WheelVertical&) = default;
};
struct WheelHorizontal {
  std::int32_t lines = 0;
  friend bool operator==(const WheelHorizontal&, const WheelHorizontal&) = default;
};
struct SleepMs {
  std::uint64_t milliseconds = 0;
  friend bool operator==(const SleepMs&, const SleepMs&) = default;
};

}  // namespace action

using InputAction =
    std::variant<action::MouseMove, action::ButtonDown, action::ButtonUp, action::ModifierDown, action::ModifierUp,
                 action::KeyTap, action::TypeText, action::WheelVertical, action::WheelHorizontal, action::SleepMs>;

using InputActionList = std::vector<InputAction>;

}  // namespace pelagon2::platform
