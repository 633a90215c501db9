#include "input/key_sequence.h"

#include <algorithm>
#include <array>
#include <string>

namespace pelagon2::input {
namespace {

using platform::Key;
using platform::KeyKind;
using platform::Modifier;

// UTF-8 forms of the white space trimmed around names. In valid UTF-8 each of
// them, found at either end, is a whole character there.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

std::string_view trimmed(std::string_view s) {
  for (bool again = true; again;) {
    again = false;
    for (const std::string_view space : kWhiteSpace) {
      if (s.starts_with(space)) {
        s.remove_prefix(space.size());
        again = true;
      }
      if (s.ends_with(space)) {
        s.remove_suffix(space.size());
        again = true;
      }
    }
  }
  return s;
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct NamedModifier {
  std::string_view name;
  Modifier modifier;
};
constexpr NamedModifier kModifiers[] = {
    {"KEY_CTRL", Modifier::Ctrl},   {"KEY_ALT", Modifier::Alt},   {"KEY_OPTION", Modifier::Alt},
    {"KEY_SHIFT", Modifier::Shift}, {"KEY_META", Modifier::Meta}, {"KEY_CMD", Modifier::Meta},
    {"KEY_WIN", Modifier::Meta},
};

struct NamedKey {
  std::string_view name;
  KeyKind kind;
};
constexpr NamedKey kKeys[] = {
    {"KEY_UP", KeyKind::Up},          {"KEY_DOWN", KeyKind::Down},
    {"KEY_LEFT", KeyKind::Left},      {"KEY_RIGHT", KeyKind::Right},
    {"KEY_PGUP", KeyKind::PageUp},    {"KEY_PAGE_UP", KeyKind::PageUp},
    {"KEY_PGDN", KeyKind::PageDown},  {"KEY_PAGE_DOWN", KeyKind::PageDown},
    {"KEY_BKSP", KeyKind::Backspace}, {"KEY_BACKSPACE", KeyKind::Backspace},
    {"KEY_DEL", KeyKind::Delete},     {"KEY_DELETE", KeyKind::Delete},
    {"KEY_ENTER", KeyKind::Enter},    {"KEY_TAB", KeyKind::Tab},
    {"KEY_ESC", KeyKind::Escape},     {"KEY_ESCAPE", KeyKind::Escape},
    {"KEY_HOME", KeyKind::Home},      {"KEY_END", KeyKind::End},
    {"KEY_SPACE", KeyKind::Space},    {"KEY_COMMA", KeyKind::Comma},
    {"KEY_PERIOD", KeyKind::Period},  {"KEY_SEMICOLON", KeyKind::Semicolon},
    {"KEY_MINUS", KeyKind::Minus},
};

// After "KEY_F": an optional '+', then decimal digits of a value that fits in
// a byte; 1 to 15 names a function key.
std::optional<Key> function_key(std::string_view number) {
  if (number.starts_with('+')) number.remove_prefix(1);
  if (number.empty()) return std::nullopt;
  unsigned value = 0;
  for (const char c : number) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) return std::nullopt;
  }
  if (value < 1 || value > 15) return std::nullopt;
  return Key{KeyKind::F, static_cast<std::uint8_t>(value)};
}

std::string token_text(std::string_view token) { return "'${" + std::string(token) + "}'"; }

}  // namespace

std::optional<Modifier> modifier_named(std::string_view name) {
  for (const NamedModifier& entry : kModifiers) {
    if (entry.name == name) return entry.modifier;
  }
  return std::nullopt;
}

std::optional<Key> key_named(std::string_view name) {
  for (const NamedKey& entry : kKeys) {
    if (entry.name == name) return Key{entry.kind, 0};
  }
  if (!name.starts_with("KEY_") || name.size() == 4) return std::nullopt;
  if (name[4] == 'F') return function_key(name.substr(5));
  if (name.size() == 5) {
    const char c = name[4];
    if (is_digit(c)) return Key{KeyKind::Digit, static_cast<std::uint8_t>(c - '0')};
    if (c >= 'A' && c <= 'Z') return Key{KeyKind::Letter, static_cast<std::uint8_t>(c - 'A' + 'a')};
    return std::nullopt;
  }
  if (name.size() == 8 && name.starts_with("KEY_NUM") && is_digit(name[7])) {
    return Key{KeyKind::Digit, static_cast<std::uint8_t>(name[7] - '0')};
  }
  return std::nullopt;
}

Expected<KeyCombination> parse_key_combination(std::string_view token) {
  KeyCombination combination;
  std::string_view rest = token;
  while (true) {
    const std::size_t plus = rest.find('+');
    const std::string name = ascii_upper(trimmed(rest.substr(0, plus)));
    // A piece that is empty after trimming is a key name like any other: it
    // is reported as the unknown key ''.
    if (const std::optional<Modifier> modifier = modifier_named(name)) {
      if (std::find(combination.modifiers.begin(), combination.modifiers.end(), *modifier) !=
          combination.modifiers.end()) {
        return make_error("bad_key: duplicate modifier in " + token_text(token));
      }
      combination.modifiers.push_back(*modifier);
    } else {
      if (combination.key) return make_error("bad_key: more than one non-modifier key in " + token_text(token));
      combination.key = key_named(name);
      if (!combination.key) return make_error("bad_key: unknown key '" + name + "' in " + token_text(token));
    }
    if (plus == std::string_view::npos) break;
    rest.remove_prefix(plus + 1);
  }
  return combination;
}

Expected<platform::InputActionList> compile_key_sequence(std::string_view text) {
  namespace action = platform::action;
  platform::InputActionList actions;
  std::string literal;
  const auto close_literal = [&] {
    if (!literal.empty()) actions.emplace_back(action::TypeText{std::move(literal)});
    literal.clear();
  };
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '$' && i + 1 < text.size() && text[i + 1] == '{') {
      const std::size_t close = text.find('}', i + 2);
      if (close == std::string_view::npos) return make_error("bad_key: unterminated '${'");
      Expected<KeyCombination> combination = parse_key_combination(text.substr(i + 2, close - i - 2));
      if (!combination) return std::move(combination).take_error();
      close_literal();
      for (const platform::Modifier m : combination->modifiers) actions.emplace_back(action::ModifierDown{m});
      if (combination->key) actions.emplace_back(action::KeyTap{*combination->key});
      for (const platform::Modifier m : combination->modifiers) actions.emplace_back(action::ModifierUp{m});
      i = close + 1;
      continue;
    }
    literal.push_back(text[i]);
    ++i;
  }
  close_literal();
  return actions;
}

}  // namespace pelagon2::input
