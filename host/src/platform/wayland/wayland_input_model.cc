#include "platform/wayland/wayland_input_model.h"

#include <algorithm>

namespace pelagon2::platform::wayland {
namespace {

// Letters a…z on a US keyboard.
constexpr EvdevCode kLetterCodes[26] = {30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50,
                                        49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44};

}  // namespace

EvdevCode button_code(MouseButton button) {
  switch (button) {
    case MouseButton::Left:
      return kBtnLeft;
    case MouseButton::Right:
      return kBtnRight;
    case MouseButton::Middle:
      return kBtnMiddle;
  }
  return kBtnLeft;
}

EvdevCode modifier_code(Modifier modifier) {
  switch (modifier) {
    case Modifier::Ctrl:
      return kKeyLeftCtrl;
    case Modifier::Alt:
      return kKeyLeftAlt;
    case Modifier::Shift:
      return kKeyLeftShift;
    case Modifier::Meta:
      return kKeyLeftMeta;
  }
  return kKeyLeftCtrl;
}

std::optional<EvdevCode> key_code(const Key& key) {
  switch (key.kind) {
    case KeyKind::Up:
      return 103;
    case KeyKind::Right:
      return 106;
    case KeyKind::Down:
      return 108;
    case KeyKind::Left:
      return 105;
    case KeyKind::PageUp:
      return 104;
    case KeyKind::PageDown:
      return 109;
    case KeyKind::Backspace:
      return kKeyBackspace;
    case KeyKind::Delete:
      return 111;
    case KeyKind::Enter:
      return kKeyEnter;
    case KeyKind::Tab:
      return kKeyTab;
    case KeyKind::Escape:
      return kKeyEsc;
    case KeyKind::Home:
      return 102;
    case KeyKind::Space:
      return kKeySpace;
    case KeyKind::End:
      return 107;
    case KeyKind::F:
      // F1…F10 follow Escape's row; F11 and F12 came later, F13 on later still.
      if (key.payload >= 1 && key.payload <= 10) return 58u + key.payload;
      if (key.payload == 11 || key.payload == 12) return 76u + key.payload;
      if (key.payload >= 13 && key.payload <= 24) return kKeyF13 + (key.payload - 13u);
      return std::nullopt;
    case KeyKind::Digit:
      if (key.payload > 9) return std::nullopt;
      return key.payload == 0 ? 11u : 1u + key.payload;
    case KeyKind::Letter:
      if (key.payload < 'a' || key.payload > 'z') return std::nullopt;
      return kLetterCodes[key.payload - 'a'];
    case KeyKind::Comma:
      return 51;
    case KeyKind::Period:
      return 52;
    case KeyKind::Semicolon:
      return 39;
    case KeyKind::Minus:
      return 12;
  }
  return std::nullopt;
}

WheelAxis wheel_axis(bool vertical, std::int32_t lines) {
  return {vertical ? Axis::vertical : Axis::horizontal, std::clamp(lines, -kMaxWheelSteps, kMaxWheelSteps)};
}

}  // namespace pelagon2::platform::wayland
