#include "input/printed_form.h"

#include <unicode/uchar.h>

#include <cstdio>
#include <type_traits>

#include "core/utf8.h"

namespace pelagon2::input {
namespace {

using namespace platform::action;

// Characters that would not show as themselves in a message: controls,
// format and private-use characters, unassigned code points, and the line
// and paragraph separators.
bool printable(char32_t c) {
  const auto code_point = static_cast<UChar32>(c);
  if (!u_isprint(code_point)) return false;
  const auto type = static_cast<UCharCategory>(u_charType(code_point));
  return type != U_LINE_SEPARATOR && type != U_PARAGRAPH_SEPARATOR;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char32_t c : utf8_code_points(text)) {
    switch (c) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      default:
        if (printable(c)) {
          append_utf8(out, c);
        } else {
          char escape[16];
          std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
          out += escape;
        }
    }
  }
  out += '"';
  return out;
}

std::string with_payload(const char* name, unsigned payload) {
  return std::string(name) + "(" + std::to_string(payload) + ")";
}

}  // namespace

std::string modifier_name(platform::Modifier modifier) {
  switch (modifier) {
    case platform::Modifier::Ctrl:
      return "Ctrl";
    case platform::Modifier::Alt:
      return "Alt";
    case platform::Modifier::Shift:
      return "Shift";
    case platform::Modifier::Meta:
      return "Meta";
  }
  return "?";
}

std::string button_name(platform::MouseButton button) {
  switch (button) {
    case platform::MouseButton::Left:
      return "Left";
    case platform::MouseButton::Right:
      return "Right";
    case platform::MouseButton::Middle:
      return "Middle";
  }
  return "?";
}

std::string key_name(const platform::Key& key) {
  using platform::KeyKind;
  switch (key.kind) {
    case KeyKind::Up:
      return "Up";
    case KeyKind::Right:
      return "Right";
    case KeyKind::Down:
      return "Down";
    case KeyKind::Left:
      return "Left";
    case KeyKind::PageUp:
      return "PageUp";
    case KeyKind::PageDown:
      return "PageDown";
    case KeyKind::Backspace:
      return "Backspace";
    case KeyKind::Delete:
      return "Delete";
    case KeyKind::Enter:
      return "Enter";
    case KeyKind::Tab:
      return "Tab";
    case KeyKind::Escape:
      return "Escape";
    case KeyKind::Home:
      return "Home";
    case KeyKind::Space:
      return "Space";
    case KeyKind::End:
      return "End";
    case KeyKind::F:
      return with_payload("F", key.payload);
    case KeyKind::Digit:
      return with_payload("Digit", key.payload);
    case KeyKind::Letter:
      return with_payload("Letter", key.payload);
    case KeyKind::Comma:
      return "Comma";
    case KeyKind::Period:
      return "Period";
    case KeyKind::Semicolon:
      return "Semicolon";
    case KeyKind::Minus:
      return "Minus";
  }
  return "?";
}

std::string printed_form(const platform::InputAction& action) {
  return std::visit(
      [](const auto& a) -> std::string {
        using T = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<T, MouseMove>) {
          return "MouseMove { x: " + std::to_string(a.x) + ", y: " + std::to_string(a.y) + " }";
        } else if constexpr (std::is_same_v<T, ButtonDown>) {
          return "ButtonDown(" + button_name(a.button) + ")";
        } else if constexpr (std::is_same_v<T, ButtonUp>) {
          return "ButtonUp(" + button_name(a.button) + ")";
        } else if constexpr (std::is_same_v<T, ModifierDown>) {
          return "ModifierDown(" + modifier_name(a.modifier) + ")";
        } else if constexpr (std::is_same_v<T, ModifierUp>) {
          return "ModifierUp(" + modifier_name(a.modifier) + ")";
        } else if constexpr (std::is_same_v<T, KeyTap>) {
          return "KeyTap(" + key_name(a.key) + ")";
        } else if constexpr (std::is_same_v<T, TypeText>) {
          return "TypeText(" + quoted(a.text) + ")";
        } else if constexpr (std::is_same_v<T, WheelVertical>) {
          return "WheelVertical(" + std::to_string(a.lines) + ")";
        } else if constexpr (std::is_same_v<T, WheelHorizontal>) {
          return "WheelHorizontal(" + std::to_string(a.lines) + ")";
        } else {
          static_assert(std::is_same_v<T, SleepMs>);
          return "SleepMs(" + std::to_string(a.milliseconds) + ")";
        }
      },
      action);
}

}  // namespace pelagon2::input
