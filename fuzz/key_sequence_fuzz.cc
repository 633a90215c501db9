// The key-sequence compiler on arbitrary text: it never crashes; a failure is
// always a "bad_key" message; the literal text comes out of the TypeText
// actions exactly as written between tokens; every token becomes its
// modifiers pressed, at most one key tapped and the same modifiers released
// in the same order; and writing the list back as a key sequence with
// canonical names compiles to the same list.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "input/key_sequence.h"
#include "input/printed_form.h"

namespace {

using namespace pelagon2;
namespace action = platform::action;

// The input with every `${…}` token removed (the compile succeeded, so every
// token is closed).
std::string literal_text(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '$' && i + 1 < text.size() && text[i + 1] == '{') {
      i = text.find('}', i + 2);
      if (i == std::string_view::npos) std::abort();
      continue;
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string modifier_token(platform::Modifier m) {
  switch (m) {
    case platform::Modifier::Ctrl:
      return "KEY_CTRL";
    case platform::Modifier::Alt:
      return "KEY_ALT";
    case platform::Modifier::Shift:
      return "KEY_SHIFT";
    case platform::Modifier::Meta:
      return "KEY_META";
  }
  std::abort();
}

std::string key_token(const platform::Key& key) {
  using platform::KeyKind;
  switch (key.kind) {
    case KeyKind::F:
      if (key.payload < 1 || key.payload > 15) std::abort();
      return "KEY_F" + std::to_string(key.payload);
    case KeyKind::Digit:
      if (key.payload > 9) std::abort();
      return "KEY_NUM" + std::to_string(key.payload);
    case KeyKind::Letter:
      if (key.payload < 'a' || key.payload > 'z') std::abort();
      return std::string("KEY_") + static_cast<char>(key.payload - 'a' + 'A');
    default: {
      // The names without payload are the printed names, spelled as tokens.
      std::string name = input::key_name(key);
      std::string token = "KEY_";
      for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c >= 'A' && c <= 'Z' && i > 0) token += '_';
        token += static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
      }
      return token;
    }
  }
}

// Writes the list back as a key sequence, checking its shape on the way.
std::string rewrite(const platform::InputActionList& actions) {
  std::string out;
  bool last_was_text = false;
  for (std::size_t i = 0; i < actions.size();) {
    if (const auto* text = std::get_if<action::TypeText>(&actions[i])) {
      if (text->text.empty() || last_was_text) std::abort();  // runs are whole and never empty
      out += text->text;
      last_was_text = true;
      ++i;
      continue;
    }
    last_was_text = false;
    std::vector<platform::Modifier> down;
    for (; i < actions.size() && std::holds_alternative<action::ModifierDown>(actions[i]); ++i) {
      down.push_back(std::get<action::ModifierDown>(actions[i]).modifier);
    }
    std::string token;
    for (const platform::Modifier m : down) token += (token.empty() ? "" : "+") + modifier_token(m);
    if (i < actions.size() && std::holds_alternative<action::KeyTap>(actions[i])) {
      token += (token.empty() ? "" : "+") + key_token(std::get<action::KeyTap>(actions[i]).key);
      ++i;
    }
    if (token.empty()) std::abort();  // only the four compiled kinds may appear
    for (const platform::Modifier m : down) {
      if (i >= actions.size() || !std::holds_alternative<action::ModifierUp>(actions[i]) ||
          std::get<action::ModifierUp>(actions[i]).modifier != m) {
        std::abort();
      }
      ++i;
    }
    out += "${" + token + "}";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Expected<platform::InputActionList> compiled = input::compile_key_sequence(text);
  if (!compiled) {
    if (compiled.error().rfind("bad_key: ", 0) != 0) std::abort();
    return 0;
  }
  std::string typed;
  for (const platform::InputAction& a : *compiled) {
    if (input::printed_form(a).empty()) std::abort();
    if (const auto* t = std::get_if<action::TypeText>(&a)) typed += t->text;
  }
  if (typed != literal_text(text)) std::abort();
  if (text.find("${") == std::string_view::npos && !text.empty() &&
      (compiled->size() != 1 || std::get<action::TypeText>(compiled->front()).text != text)) {
    std::abort();
  }
  const Expected<platform::InputActionList> again = input::compile_key_sequence(rewrite(*compiled));
  if (!again || *again != *compiled) std::abort();
  return 0;
}
