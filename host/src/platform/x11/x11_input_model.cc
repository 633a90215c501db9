#include "platform/x11/x11_input_model.h"

#include <algorithm>
#include <limits>

namespace pelagon2::platform::x11 {
namespace {

// Keypad keysyms (KP_Space … KP_9): the text they give depends on NumLock and
// on the application.
bool keypad(KeySym keysym) { return keysym >= 0xff80 && keysym <= 0xffbd; }

bool usable_key(const KeyboardState& state, std::size_t i) {
  return !state.modifier_key[i] && !state.pressed[i] && !state.borrowed[i];
}

}  // namespace

KeySym modifier_keysym(Modifier modifier) {
  switch (modifier) {
    case Modifier::Ctrl:
      return 0xffe3;  // Control_L
    case Modifier::Alt:
      return 0xffe9;  // Alt_L
    case Modifier::Shift:
      return kShiftL;
    case Modifier::Meta:
      return 0xffeb;  // Super_L
  }
  return kNoSymbol;
}

KeySym key_keysym(const Key& key) {
  switch (key.kind) {
    case KeyKind::Up:
      return 0xff52;
    case KeyKind::Right:
      return 0xff53;
    case KeyKind::Down:
      return 0xff54;
    case KeyKind::Left:
      return 0xff51;
    case KeyKind::PageUp:
      return 0xff55;  // Prior
    case KeyKind::PageDown:
      return 0xff56;  // Next
    case KeyKind::Backspace:
      return 0xff08;
    case KeyKind::Delete:
      return 0xffff;
    case KeyKind::Enter:
      return kReturn;
    case KeyKind::Tab:
      return kTab;
    case KeyKind::Escape:
      return 0xff1b;
    case KeyKind::Home:
      return 0xff50;
    case KeyKind::Space:
      return 0x20;
    case KeyKind::End:
      return 0xff57;
    case KeyKind::F:
      return key.payload >= 1 && key.payload <= 35 ? 0xffbe + key.payload - 1u : kNoSymbol;  // F1…
    case KeyKind::Digit:
      return key.payload <= 9 ? 0x30u + key.payload : kNoSymbol;
    case KeyKind::Letter:
      return key.payload >= 'a' && key.payload <= 'z' ? KeySym{key.payload} : kNoSymbol;
    case KeyKind::Comma:
      return 0x2c;
    case KeyKind::Period:
      return 0x2e;
    case KeyKind::Semicolon:
      return 0x3b;
    case KeyKind::Minus:
      return 0x2d;
  }
  return kNoSymbol;
}

std::optional<KeySym> char_keysym(char32_t c) {
  switch (c) {
    case U'\n':
    case U'\r':
      return kReturn;
    case U'\t':
      return kTab;
    case 0x08:
      return 0xff08;  // BackSpace
    case 0x1b:
      return 0xff1b;  // Escape
    case 0x7f:
      return 0xffff;  // Delete
    default:
      break;
  }
  if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff)) return KeySym{c};
  return 0x01000000u + c;
}

unsigned button_number(MouseButton button) {
  switch (button) {
    case MouseButton::Left:
      return 1;
    case MouseButton::Middle:
      return 2;
    case MouseButton::Right:
      return 3;
  }
  return 1;
}

WheelClicks wheel_clicks(bool vertical, std::int32_t lines) {
  WheelClicks clicks;
  clicks.button = vertical ? (lines > 0 ? 5 : 4) : (lines > 0 ? 7 : 6);
  const std::int64_t magnitude = lines < 0 ? -std::int64_t{lines} : std::int64_t{lines};
  clicks.count = static_cast<std::uint32_t>(std::min<std::int64_t>(magnitude, kMaxWheelClicks));
  return clicks;
}

bool KeyboardState::level_usable(Level level) const {
  const auto bits = static_cast<unsigned>(level);
  if ((bits & 1) && !shift_keycode) return false;
  if ((bits & 2) && !level3_keycode) return false;
  return true;
}

std::optional<Keystroke> find_keystroke(const KeyboardState& state, char32_t c) {
  const std::optional<KeySym> special = c == U'\n' || c == U'\r' || c == U'\t' ? char_keysym(c) : std::nullopt;
  for (unsigned level = 0; level < 4; ++level) {
    if (!state.level_usable(static_cast<Level>(level))) continue;
    for (std::size_t i = 0; i < state.produces.size(); ++i) {
      if (!usable_key(state, i)) continue;
      const Produced& p = state.produces[i][level];
      if (p.keysym == kNoSymbol || keypad(p.keysym)) continue;
      const bool match = special ? p.keysym == *special : p.character == c;
      if (match) return Keystroke{static_cast<std::uint8_t>(state.min_keycode + i), static_cast<Level>(level)};
    }
  }
  return std::nullopt;
}

std::optional<std::uint8_t> key_for_keysym(const KeyboardState& state, KeySym keysym) {
  if (keysym == kNoSymbol) return std::nullopt;
  for (const unsigned level : {0u, 1u}) {
    for (std::size_t i = 0; i < state.produces.size(); ++i) {
      if (state.borrowed[i] || state.pressed[i]) continue;
      if (state.produces[i][level].keysym == keysym) return static_cast<std::uint8_t>(state.min_keycode + i);
    }
  }
  const auto per = static_cast<std::size_t>(std::max(state.keysyms_per_keycode, 0));
  const std::size_t keys = per == 0 ? 0 : state.core.size() / per;
  for (std::size_t column = 0; column < per; ++column) {
    for (std::size_t i = 0; i < keys && i < state.borrowed.size(); ++i) {
      if (state.borrowed[i]) continue;
      if (state.core[i * per + column] == keysym) return static_cast<std::uint8_t>(state.min_keycode + i);
    }
  }
  return std::nullopt;
}

std::vector<std::uint8_t> spare_keycodes(const KeyboardState& state, bool with_symbols) {
  const auto per = static_cast<std::size_t>(std::max(state.keysyms_per_keycode, 0));
  const std::size_t keys = std::min({state.modifier_key.size(), state.pressed.size(), state.borrowed.size()});
  std::vector<std::uint8_t> empty;
  std::vector<std::uint8_t> others;
  for (std::size_t i = keys; i-- > 0;) {
    if (!usable_key(state, i)) continue;
    const auto keycode = static_cast<std::uint8_t>(state.min_keycode + i);
    // Key codes below 8 cannot be sent; the protocol reserves them.
    if (keycode < 8) continue;
    bool has_symbol = false;
    for (std::size_t column = 0; column < per && (i + 1) * per <= state.core.size(); ++column) {
      has_symbol = has_symbol || state.core[i * per + column] != kNoSymbol;
    }
    (has_symbol ? others : empty).push_back(keycode);
  }
  if (with_symbols) empty.insert(empty.end(), others.begin(), others.end());
  return empty;
}

}  // namespace pelagon2::platform::x11
