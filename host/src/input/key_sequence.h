#pragma once
// The text of `send_text`: literal runs mixed with `${…}` key tokens such as
// `${KEY_CTRL+KEY_A}`, compiled into input actions before anything is sent.

#include <optional>
#include <string_view>
#include <vector>

#include "core/outcome.h"
#include "platform/input_action.h"

namespace pelagon2::input {

// The modifiers in the order written (distinct) and at most one key.
struct KeyCombination {
  std::vector<platform::Modifier> modifiers;
  std::optional<platform::Key> key;
  friend bool operator==(const KeyCombination&, const KeyCombination&) = default;
};

// Names after trimming and ASCII upper-casing, e.g. "KEY_CMD", "KEY_F01".
std::optional<platform::Modifier> modifier_named(std::string_view name);
std::optional<platform::Key> key_named(std::string_view name);

// The content of one token (between `${` and `}`), or its "bad_key" error.
Expected<KeyCombination> parse_key_combination(std::string_view token);

// The whole text as TypeText, ModifierDown, KeyTap and ModifierUp actions, or
// the first "bad_key" error; an empty text gives an empty list.
Expected<platform::InputActionList> compile_key_sequence(std::string_view text);

}  // namespace pelagon2::input
