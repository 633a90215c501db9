#pragma once
// The decisions of X11 input synthesis, apart from the X server: which keysym
// stands for a key or a character, which key and shift level type a
// character in the current keyboard state, which key codes may be borrowed
// for characters no key produces, how wheel amounts become button clicks, the
// core protocol's case rules and where a pointer target lands on the root.
// The backend fills a KeyboardState from the server; everything here is
// portable and tested without one.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/input_action.h"

namespace pelagon2::platform::x11 {

using KeySym = std::uint32_t;
inline constexpr KeySym kNoSymbol = 0;
inline constexpr KeySym kReturn = 0xff0d;
inline constexpr KeySym kTab = 0xff09;
inline constexpr KeySym kShiftL = 0xffe1;
inline constexpr KeySym kIsoLevel3Shift = 0xfe03;

KeySym modifier_keysym(Modifier modifier);  // Control_L, Alt_L, Shift_L, Super_L
KeySym key_keysym(const Key& key);
// The keysym that types `c`: Return for line feed and carriage return, Tab for
// tab, Latin-1 keysyms for U+0020…U+007E and U+00A0…U+00FF, BackSpace, Escape
// and Delete for their control characters, 0x01000000 + c for the rest.
// nullopt for U+0000 and for what is no Unicode scalar value.
std::optional<KeySym> char_keysym(char32_t c);

// The lower- and upper-case forms of `keysym` by the core protocol's case
// rules, for Latin-1 keysyms and Unicode keysyms (0x01000000 + c) of Basic
// Latin, Latin-1, Latin Extended-A and -B, Greek, Cyrillic and Armenian; a
// keysym without case is its own lower and upper form.
struct CasePair {
  KeySym lower = kNoSymbol;
  KeySym upper = kNoSymbol;
  friend bool operator==(const CasePair&, const CasePair&) = default;
};
CasePair convert_case(KeySym keysym);
// Whether Caps Lock would turn `keysym` into another one.
inline bool case_changes(KeySym keysym) { return convert_case(keysym).upper != keysym; }

// A pointer target as XTest can carry it: inside the root window
// [0, width - 1] x [0, height - 1], where the pointer can be at all.
struct RootPoint {
  std::int16_t x = 0;
  std::int16_t y = 0;
  friend bool operator==(const RootPoint&, const RootPoint&) = default;
};
RootPoint clamp_to_root(std::int32_t x, std::int32_t y, std::uint16_t width, std::uint16_t height);

// X pointer buttons: 1 left, 2 middle, 3 right.
unsigned button_number(MouseButton button);

// Clicks of one wheel action: a positive vertical amount scrolls down (5),
// a negative one up (4); horizontally 7 and 6. The count is capped, since each
// line is two synthetic events.
inline constexpr std::uint32_t kMaxWheelClicks = 100;
struct WheelClicks {
  unsigned button = 0;
  std::uint32_t count = 0;
};
WheelClicks wheel_clicks(bool vertical, std::int32_t lines);

// Shift levels a character may be typed at, by the modifiers held for it.
enum class Level : std::uint8_t { plain = 0, shift = 1, level3 = 2, shift_level3 = 3 };

// What a key gives at one level in the keyboard's current group and lock
// state: the keysym an application decodes and its character (0 for none).
struct Produced {
  KeySym keysym = kNoSymbol;
  char32_t character = 0;
};

struct KeyboardState {
  std::uint8_t min_keycode = 8;
  std::uint8_t max_keycode = 255;
  // The core keyboard map: `keysyms_per_keycode` entries per key code from
  // min_keycode on.
  int keysyms_per_keycode = 0;
  std::vector<KeySym> core;
  // Per key code from min_keycode on.
  std::vector<std::array<Produced, 4>> produces;
  std::vector<bool> modifier_key;  // in the modifier map
  std::vector<bool> pressed;       // down when the state was read
  std::vector<bool> borrowed;      // remapped by us: its `produces` no longer hold
  // Keys that select the shift levels; a level whose key is missing is not used.
  std::optional<std::uint8_t> shift_keycode;
  std::optional<std::uint8_t> level3_keycode;
  bool caps_locked = false;

  std::size_t index(std::uint8_t keycode) const { return static_cast<std::size_t>(keycode - min_keycode); }
  bool has(std::uint8_t keycode) const { return keycode >= min_keycode && keycode <= max_keycode; }
  bool level_usable(Level level) const;
};

struct Keystroke {
  std::uint8_t keycode = 0;
  Level level = Level::plain;
  friend bool operator==(const Keystroke&, const Keystroke&) = default;
};

// The key and lowest level that type `c` now (line feed and carriage return as
// Return, tab as Tab); the lowest key code among equals. Keypad keys, modifier
// keys, keys held down and borrowed keys are never used.
std::optional<Keystroke> find_keystroke(const KeyboardState& state, char32_t c);

// The key to press, without level modifiers, for `keysym`: a key giving it at
// the plain level now, else at the shift level, else the first key code
// listing it in the core map (column by column, as the protocol's lookup
// does). Borrowed keys are skipped.
std::optional<std::uint8_t> key_for_keysym(const KeyboardState& state, KeySym keysym);

// Key codes that may be borrowed, best first: those without any symbol, from
// the highest down, then, when `with_symbols`, the other keys from the highest
// down (a last resort for a map without a free key code). Modifier keys, keys
// held down and keys already borrowed never are.
std::vector<std::uint8_t> spare_keycodes(const KeyboardState& state, bool with_symbols);

}  // namespace pelagon2::platform::x11
