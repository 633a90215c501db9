#pragma once
// How an input action is named in an "input_failed" message.

#include <string>

#include "platform/input_action.h"

namespace pelagon2::input {

std::string modifier_name(platform::Modifier modifier);
std::string button_name(platform::MouseButton button);
// `Enter`, `F(5)`, `Digit(7)`, `Letter(97)`.
std::string key_name(const platform::Key& key);

// `MouseMove { x: 10, y: 20 }`, `KeyTap(F(5))`, `TypeText("a\"b")`, …
std::string printed_form(const platform::InputAction& action);

}  // namespace pelagon2::input
