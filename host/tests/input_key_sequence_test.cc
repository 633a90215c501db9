// The key-sequence grammar: scanning, token parsing, name tables, the exact
// "bad_key" messages, and the printed forms of every action kind.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/key_sequence.h"
#include "input/printed_form.h"

namespace pelagon2::input {
namespace {

namespace action = platform::action;
using platform::Key;
using platform::KeyKind;
using platform::Modifier;
using platform::MouseButton;

// The compiled list as printed forms, or the error text as the only entry.
std::vector<std::string> compiled(std::string_view text) {
  const Expected<platform::InputActionList> actions = compile_key_sequence(text);
  if (!actions) return {actions.error()};
  std::vector<std::string> out;
  for (const platform::InputAction& a : *actions) out.push_back(printed_form(a));
  return out;
}

struct CompileCase {
  std::string text;
  std::vector<std::string> expected;
};

TEST(KeySequence, CompilesTextAndTokens) {
  const CompileCase cases[] = {
      {"", {}},
      {"Hi${KEY_CTRL+KEY_SHIFT+KEY_A}$5${KEY_ENTER}",
       {"TypeText(\"Hi\")", "ModifierDown(Ctrl)", "ModifierDown(Shift)", "KeyTap(Letter(97))", "ModifierUp(Ctrl)",
        "ModifierUp(Shift)", "TypeText(\"$5\")", "KeyTap(Enter)"}},
      {"a$", {"TypeText(\"a$\")"}},
      {"a$b", {"TypeText(\"a$b\")"}},
      {"$", {"TypeText(\"$\")"}},
      {"}{$}", {"TypeText(\"}{$}\")"}},
      {"$${KEY_TAB}$", {"TypeText(\"$\")", "KeyTap(Tab)", "TypeText(\"$\")"}},
      {"${KEY_A}${KEY_B}", {"KeyTap(Letter(97))", "KeyTap(Letter(98))"}},
      {"${key_a}", {"KeyTap(Letter(97))"}},
      {"${ key_ctrl + key_a }", {"ModifierDown(Ctrl)", "KeyTap(Letter(97))", "ModifierUp(Ctrl)"}},
      {"${\t\xC2\xA0KEY_A\xE3\x80\x80\n}", {"KeyTap(Letter(97))"}},
      {"${KEY_SHIFT}", {"ModifierDown(Shift)", "ModifierUp(Shift)"}},
      {"${KEY_SHIFT+KEY_CTRL+KEY_END}",
       {"ModifierDown(Shift)", "ModifierDown(Ctrl)", "KeyTap(End)", "ModifierUp(Shift)", "ModifierUp(Ctrl)"}},
      {"${KEY_A+KEY_ALT}", {"ModifierDown(Alt)", "KeyTap(Letter(97))", "ModifierUp(Alt)"}},
      {"${KEY_CMD+KEY_OPTION+KEY_CTRL+KEY_SHIFT+KEY_Z}",
       {"ModifierDown(Meta)", "ModifierDown(Alt)", "ModifierDown(Ctrl)", "ModifierDown(Shift)", "KeyTap(Letter(122))",
        "ModifierUp(Meta)", "ModifierUp(Alt)", "ModifierUp(Ctrl)", "ModifierUp(Shift)"}},
      {"x\ny\u00e9${KEY_ENTER}z", {"TypeText(\"x\\ny\u00e9\")", "KeyTap(Enter)", "TypeText(\"z\")"}},
      // Text before a bad token is not typed: the whole text fails.
      {"hello ${KEY_ENTER} ${KEY_NOPE}", {"bad_key: unknown key 'KEY_NOPE' in '${KEY_NOPE}'"}},
  };
  for (const CompileCase& c : cases) EXPECT_EQ(compiled(c.text), c.expected) << c.text;
}

TEST(KeySequence, ErrorsQuoteTheTokenAsWritten) {
  const std::pair<std::string, std::string> cases[] = {
      {"${", "bad_key: unterminated '${'"},
      {"abc${", "bad_key: unterminated '${'"},
      {"${KEY_A", "bad_key: unterminated '${'"},
      {"${KEY_A}${KEY_B", "bad_key: unterminated '${'"},
      {"${KEY_A+KEY_B}", "bad_key: more than one non-modifier key in '${KEY_A+KEY_B}'"},
      {"${KEY_A+KEY_XYZ}", "bad_key: more than one non-modifier key in '${KEY_A+KEY_XYZ}'"},
      {"${KEY_CMD+KEY_META+KEY_C}", "bad_key: duplicate modifier in '${KEY_CMD+KEY_META+KEY_C}'"},
      {"${KEY_ALT+key_option}", "bad_key: duplicate modifier in '${KEY_ALT+key_option}'"},
      {"${KEY_WIN+KEY_CMD}", "bad_key: duplicate modifier in '${KEY_WIN+KEY_CMD}'"},
      {"${ key_xyz }", "bad_key: unknown key 'KEY_XYZ' in '${ key_xyz }'"},
      {"${key_\u00e9}", "bad_key: unknown key 'KEY_\u00e9' in '${key_\u00e9}'"},
      {"${CTRL}", "bad_key: unknown key 'CTRL' in '${CTRL}'"},
      // '+' always splits, so the signed function-key form never reaches the name rules.
      {"${KEY_F+3}", "bad_key: unknown key 'KEY_F' in '${KEY_F+3}'"},
      {"${KEY_F}", "bad_key: unknown key 'KEY_F' in '${KEY_F}'"},
      {"${KEY_F16}", "bad_key: unknown key 'KEY_F16' in '${KEY_F16}'"},
      // The first failure in piece order decides.
      {"${KEY_NOPE+KEY_CTRL+KEY_CTRL}", "bad_key: unknown key 'KEY_NOPE' in '${KEY_NOPE+KEY_CTRL+KEY_CTRL}'"},
      {"${KEY_CTRL+KEY_CTRL+KEY_NOPE}", "bad_key: duplicate modifier in '${KEY_CTRL+KEY_CTRL+KEY_NOPE}'"},
      // Pieces empty after trimming are key names.
      {"${}", "bad_key: unknown key '' in '${}'"},
      {"${ }", "bad_key: unknown key '' in '${ }'"},
      {"${KEY_CTRL+}", "bad_key: unknown key '' in '${KEY_CTRL+}'"},
      {"${+KEY_A}", "bad_key: unknown key '' in '${+KEY_A}'"},
      {"${KEY_A+}", "bad_key: more than one non-modifier key in '${KEY_A+}'"},
      {"${KEY_A+ }", "bad_key: more than one non-modifier key in '${KEY_A+ }'"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(compiled(text), std::vector<std::string>{message}) << text;
}

TEST(KeySequence, KeyNames) {
  const std::pair<std::string, std::optional<Key>> cases[] = {
      {"KEY_UP", Key{KeyKind::Up}},
      {"KEY_DOWN", Key{KeyKind::Down}},
      {"KEY_LEFT", Key{KeyKind::Left}},
      {"KEY_RIGHT", Key{KeyKind::Right}},
      {"KEY_PGUP", Key{KeyKind::PageUp}},
      {"KEY_PAGE_UP", Key{KeyKind::PageUp}},
      {"KEY_PGDN", Key{KeyKind::PageDown}},
      {"KEY_PAGE_DOWN", Key{KeyKind::PageDown}},
      {"KEY_BKSP", Key{KeyKind::Backspace}},
      {"KEY_BACKSPACE", Key{KeyKind::Backspace}},
      {"KEY_DEL", Key{KeyKind::Delete}},
      {"KEY_DELETE", Key{KeyKind::Delete}},
      {"KEY_ENTER", Key{KeyKind::Enter}},
      {"KEY_TAB", Key{KeyKind::Tab}},
      {"KEY_ESC", Key{KeyKind::Escape}},
      {"KEY_ESCAPE", Key{KeyKind::Escape}},
      {"KEY_HOME", Key{KeyKind::Home}},
      {"KEY_END", Key{KeyKind::End}},
      {"KEY_SPACE", Key{KeyKind::Space}},
      {"KEY_COMMA", Key{KeyKind::Comma}},
      {"KEY_PERIOD", Key{KeyKind::Period}},
      {"KEY_SEMICOLON", Key{KeyKind::Semicolon}},
      {"KEY_MINUS", Key{KeyKind::Minus}},
      {"KEY_F1", Key{KeyKind::F, 1}},
      {"KEY_F15", Key{KeyKind::F, 15}},
      {"KEY_F01", Key{KeyKind::F, 1}},
      {"KEY_F+3", Key{KeyKind::F, 3}},
      {"KEY_F0000000000000000000009", Key{KeyKind::F, 9}},
      {"KEY_F", std::nullopt},
      {"KEY_F0", std::nullopt},
      {"KEY_F16", std::nullopt},
      {"KEY_F-1", std::nullopt},
      {"KEY_F+", std::nullopt},
      {"KEY_F++1", std::nullopt},
      {"KEY_F256", std::nullopt},
      {"KEY_F1A", std::nullopt},
      {"KEY_FOO", std::nullopt},
      {"KEY_0", Key{KeyKind::Digit, 0}},
      {"KEY_7", Key{KeyKind::Digit, 7}},
      {"KEY_A", Key{KeyKind::Letter, 'a'}},
      {"KEY_Z", Key{KeyKind::Letter, 'z'}},
      {"KEY_a", std::nullopt},  // names arrive upper-cased; a lower-case one is not a name
      {"KEY_!", std::nullopt},
      {"KEY_NUM0", Key{KeyKind::Digit, 0}},
      {"KEY_NUM7", Key{KeyKind::Digit, 7}},
      {"KEY_NUM10", std::nullopt},
      {"KEY_NUM+5", std::nullopt},
      {"KEY_NUM", std::nullopt},
      {"KEY_NUMX", std::nullopt},
      {"KEY_AB", std::nullopt},
      {"KEY_", std::nullopt},
      {"KEY", std::nullopt},
      {"", std::nullopt},
      {"A", std::nullopt},
      {"XKEY_A", std::nullopt},
      {"KEY_CTRL", std::nullopt},
  };
  for (const auto& [name, key] : cases) EXPECT_EQ(key_named(name), key) << name;
}

TEST(KeySequence, ModifierNames) {
  const std::pair<std::string, std::optional<Modifier>> cases[] = {
      {"KEY_CTRL", Modifier::Ctrl},   {"KEY_ALT", Modifier::Alt},    {"KEY_OPTION", Modifier::Alt},
      {"KEY_SHIFT", Modifier::Shift}, {"KEY_META", Modifier::Meta},  {"KEY_CMD", Modifier::Meta},
      {"KEY_WIN", Modifier::Meta},    {"KEY_CONTROL", std::nullopt}, {"KEY_CTRL ", std::nullopt},
  };
  for (const auto& [name, modifier] : cases) EXPECT_EQ(modifier_named(name), modifier) << name;
}

TEST(KeySequence, CaseFoldingIsAsciiOnly) {
  // U+0131 (dotless i) upper-cases to I in Unicode, but names fold ASCII only.
  EXPECT_EQ(compiled("${KEY_\u0131}"),
            std::vector<std::string>{"bad_key: unknown key 'KEY_\u0131' in '${KEY_\u0131}'"});
  // U+200B is no white space for the trimming rule.
  EXPECT_EQ(compiled("${\u200bKEY_A}"),
            std::vector<std::string>{"bad_key: unknown key '\u200bKEY_A' in '${\u200bKEY_A}'"});
  EXPECT_EQ(compiled("${\u2028key_f07\u205f}"), std::vector<std::string>{"KeyTap(F(7))"});
}

TEST(PrintedForm, EveryActionKind) {
  const std::pair<platform::InputAction, std::string> cases[] = {
      {action::MouseMove{10, 20}, "MouseMove { x: 10, y: 20 }"},
      {action::MouseMove{-2147483647 - 1, -1}, "MouseMove { x: -2147483648, y: -1 }"},
      {action::ButtonDown{MouseButton::Left}, "ButtonDown(Left)"},
      {action::ButtonUp{MouseButton::Right}, "ButtonUp(Right)"},
      {action::ButtonDown{MouseButton::Middle}, "ButtonDown(Middle)"},
      {action::ModifierDown{Modifier::Ctrl}, "ModifierDown(Ctrl)"},
      {action::ModifierUp{Modifier::Meta}, "ModifierUp(Meta)"},
      {action::KeyTap{Key{KeyKind::Enter}}, "KeyTap(Enter)"},
      {action::KeyTap{Key{KeyKind::F, 5}}, "KeyTap(F(5))"},
      {action::KeyTap{Key{KeyKind::Letter, 97}}, "KeyTap(Letter(97))"},
      {action::KeyTap{Key{KeyKind::Digit, 7}}, "KeyTap(Digit(7))"},
      {action::KeyTap{Key{KeyKind::PageDown}}, "KeyTap(PageDown)"},
      {action::KeyTap{Key{KeyKind::Semicolon}}, "KeyTap(Semicolon)"},
      {action::TypeText{"abc"}, "TypeText(\"abc\")"},
      {action::TypeText{"a\"b\\c\td\re\nf"}, "TypeText(\"a\\\"b\\\\c\\td\\re\\nf\")"},
      {action::TypeText{std::string("\0\x1b\x7f", 3)}, "TypeText(\"\\u{0}\\u{1b}\\u{7f}\")"},
      {action::TypeText{"\u200b\u2028\u00ad"}, "TypeText(\"\\u{200b}\\u{2028}\\u{ad}\")"},
      {action::TypeText{"\u00e9 \u20ac \u0416 \u65e5 \U0001F642"},
       "TypeText(\"\u00e9 \u20ac \u0416 \u65e5 \U0001F642\")"},
      {action::TypeText{"\xff"}, "TypeText(\"\uFFFD\")"},
      {action::WheelVertical{-3}, "WheelVertical(-3)"},
      {action::WheelHorizontal{2}, "WheelHorizontal(2)"},
      {action::SleepMs{10}, "SleepMs(10)"},
      {action::SleepMs{18446744073709551615u}, "SleepMs(18446744073709551615)"},
  };
  for (const auto& [a, text] : cases) EXPECT_EQ(printed_form(a), text);
}

}  // namespace
}  // namespace pelagon2::input
