// The X11 input decisions without a server: keysyms for keys and characters,
// wheel clicks, and the choice of key, shift level and spare key code on
// scripted keyboard states.

#include "platform/x11/x11_input_model.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <utility>
#include <vector>

#if __has_include(<X11/keysym.h>)
#include <X11/keysym.h>
// The model's keysym constants are the X headers' ones.
static_assert(pelagon2::platform::x11::kReturn == XK_Return);
static_assert(pelagon2::platform::x11::kTab == XK_Tab);
static_assert(pelagon2::platform::x11::kShiftL == XK_Shift_L);
static_assert(pelagon2::platform::x11::kIsoLevel3Shift == XK_ISO_Level3_Shift);
#define PELAGON2_HAVE_KEYSYMS 1
#endif

namespace pelagon2::platform::x11 {
namespace {

#ifdef PELAGON2_HAVE_KEYSYMS
TEST(X11InputModel, KeysymsAreTheXHeadersOnes) {
  const std::pair<Key, KeySym> keys[] = {
      {{KeyKind::Up}, XK_Up},           {{KeyKind::Right}, XK_Right},       {{KeyKind::Down}, XK_Down},
      {{KeyKind::Left}, XK_Left},       {{KeyKind::PageUp}, XK_Prior},      {{KeyKind::PageDown}, XK_Next},
      {{KeyKind::Backspace}, XK_BackSpace}, {{KeyKind::Delete}, XK_Delete}, {{KeyKind::Enter}, XK_Return},
      {{KeyKind::Tab}, XK_Tab},         {{KeyKind::Escape}, XK_Escape},     {{KeyKind::Home}, XK_Home},
      {{KeyKind::Space}, XK_space},     {{KeyKind::End}, XK_End},           {{KeyKind::F, 1}, XK_F1},
      {{KeyKind::F, 35}, XK_F35},       {{KeyKind::Comma}, XK_comma},       {{KeyKind::Period}, XK_period},
      {{KeyKind::Semicolon}, XK_semicolon}, {{KeyKind::Minus}, XK_minus},
  };
  for (const auto& [key, keysym] : keys) EXPECT_EQ(key_keysym(key), keysym) << static_cast<int>(key.kind);
  EXPECT_EQ(modifier_keysym(Modifier::Ctrl), KeySym{XK_Control_L});
  EXPECT_EQ(modifier_keysym(Modifier::Alt), KeySym{XK_Alt_L});
  EXPECT_EQ(modifier_keysym(Modifier::Shift), KeySym{XK_Shift_L});
  EXPECT_EQ(modifier_keysym(Modifier::Meta), KeySym{XK_Super_L});
  EXPECT_EQ(char_keysym(0x08), KeySym{XK_BackSpace});
  EXPECT_EQ(char_keysym(0x1b), KeySym{XK_Escape});
  EXPECT_EQ(char_keysym(0x7f), KeySym{XK_Delete});
}
#endif

TEST(X11InputModel, CaseRulesOnKeysyms) {
  // Spot checks of each kind of rule; the whole range is compared with Xlib's
  // own conversion in the X11 backend test.
  const std::pair<KeySym, CasePair> cases[] = {
      {0x61, {0x61, 0x41}},                          // a
      {0xc9, {0xe9, 0xc9}},                          // É
      {0xd7, {0xd7, 0xd7}},                          // ×
      {0xff, {0xff, 0x01000178}},                    // ÿ: its capital is outside Latin-1
      {0xdf, {0xdf, 0x01001e9e}},                    // ß
      {0x01000141, {0x01000142, 0x01000141}},        // Ł
      {0x01000130, {0x01000069, 0x01000130}},        // İ
      {0x010001c5, {0x010001c6, 0x010001c4}},        // ǅ, a title case
      {0x010003a9, {0x010003c9, 0x010003a9}},        // Ω
      {0x010003c2, {0x010003c2, 0x010003a3}},        // final ς
      {0x01000436, {0x01000436, 0x01000416}},        // ж
      {0x01000401, {0x01000451, 0x01000401}},        // Ё
      {0x01000561, {0x01000561, 0x01000531}},        // Armenian ա
      {0x010065e5, {0x010065e5, 0x010065e5}},        // 日
      {0x010000e9, {0x010000e9, 0x010000c9}},        // é as a Unicode keysym
      {0xff0d, {0xff0d, 0xff0d}},                    // Return
  };
  for (const auto& [keysym, pair] : cases) {
    EXPECT_EQ(convert_case(keysym), pair) << std::hex << keysym;
    EXPECT_EQ(case_changes(keysym), pair.upper != keysym) << std::hex << keysym;
  }
}

TEST(X11InputModel, PointerTargetsClampToTheRoot) {
  struct Case {
    std::int32_t x, y;
    std::uint16_t width, height;
    RootPoint to;
  };
  const Case cases[] = {
      {40000, 300, 1280, 800, {1279, 300}},
      {65546, 10, 1280, 800, {1279, 10}},
      {2147483647, 300, 1280, 800, {1279, 300}},
      {-5, -2147483647 - 1, 1280, 800, {0, 0}},
      {1279, 799, 1280, 800, {1279, 799}},
      {1280, 800, 1280, 800, {1279, 799}},
      {700, 400, 1280, 800, {700, 400}},
      {5, 5, 0, 0, {0, 0}},
      {40000, 40000, 65535, 65535, {32767, 32767}},  // as far as XTest reaches
  };
  for (const Case& c : cases) EXPECT_EQ(clamp_to_root(c.x, c.y, c.width, c.height), c.to) << c.x << "," << c.y;
}

TEST(X11InputModel, KeysymsForKeysAndModifiers) {
  const std::pair<Key, KeySym> keys[] = {
      {{KeyKind::Up}, 0xff52},        {{KeyKind::Right}, 0xff53},     {{KeyKind::Down}, 0xff54},
      {{KeyKind::Left}, 0xff51},      {{KeyKind::PageUp}, 0xff55},    {{KeyKind::PageDown}, 0xff56},
      {{KeyKind::Backspace}, 0xff08}, {{KeyKind::Delete}, 0xffff},    {{KeyKind::Enter}, 0xff0d},
      {{KeyKind::Tab}, 0xff09},       {{KeyKind::Escape}, 0xff1b},    {{KeyKind::Home}, 0xff50},
      {{KeyKind::Space}, 0x20},       {{KeyKind::End}, 0xff57},       {{KeyKind::F, 1}, 0xffbe},
      {{KeyKind::F, 12}, 0xffc9},     {{KeyKind::F, 15}, 0xffcc},     {{KeyKind::Digit, 0}, 0x30},
      {{KeyKind::Digit, 9}, 0x39},    {{KeyKind::Letter, 'a'}, 0x61}, {{KeyKind::Letter, 'z'}, 0x7a},
      {{KeyKind::Comma}, 0x2c},       {{KeyKind::Period}, 0x2e},      {{KeyKind::Semicolon}, 0x3b},
      {{KeyKind::Minus}, 0x2d},       {{KeyKind::F, 0}, kNoSymbol},   {{KeyKind::Letter, 'A'}, kNoSymbol},
  };
  for (const auto& [key, keysym] : keys) EXPECT_EQ(key_keysym(key), keysym) << static_cast<int>(key.kind);
  EXPECT_EQ(modifier_keysym(Modifier::Ctrl), 0xffe3u);
  EXPECT_EQ(modifier_keysym(Modifier::Alt), 0xffe9u);
  EXPECT_EQ(modifier_keysym(Modifier::Shift), 0xffe1u);
  EXPECT_EQ(modifier_keysym(Modifier::Meta), 0xffebu);
  EXPECT_EQ(button_number(MouseButton::Left), 1u);
  EXPECT_EQ(button_number(MouseButton::Middle), 2u);
  EXPECT_EQ(button_number(MouseButton::Right), 3u);
}

TEST(X11InputModel, KeysymsForCharacters) {
  const std::pair<char32_t, std::optional<KeySym>> cases[] = {
      {U'a', 0x61},
      {U' ', 0x20},
      {U'~', 0x7e},
      {U'\n', 0xff0d},
      {U'\r', 0xff0d},
      {U'\t', 0xff09},
      {0x08, 0xff08},
      {0x1b, 0xff1b},
      {0x7f, 0xffff},
      {0x01, 0x01000001},
      {0x85, 0x01000085},
      {0xa0, 0xa0},
      {U'\u00e9', 0xe9},
      {U'\u00df', 0xdf},
      {U'\u00ff', 0xff},
      {U'\u0100', 0x01000100},
      {U'\u20ac', 0x010020ac},
      {U'\u0416', 0x01000416},
      {U'\U0001F642', 0x0101f642},
      {U'\U0010FFFF', 0x0110ffff},
      {0, std::nullopt},
      {0xD800, std::nullopt},
      {0x110000, std::nullopt},
  };
  for (const auto& [c, keysym] : cases) EXPECT_EQ(char_keysym(c), keysym) << static_cast<unsigned>(c);
}

TEST(X11InputModel, WheelClicks) {
  struct Case {
    bool vertical;
    std::int32_t lines;
    unsigned button;
    std::uint32_t count;
  };
  const Case cases[] = {
      {true, 3, 5, 3},
      {true, -2, 4, 2},
      {false, 2, 7, 2},
      {false, -2, 6, 2},
      {true, 100, 5, 100},
      {true, 101, 5, kMaxWheelClicks},
      {true, -2147483647 - 1, 4, kMaxWheelClicks},
      {false, 2147483647, 7, kMaxWheelClicks},
  };
  for (const Case& c : cases) {
    const WheelClicks clicks = wheel_clicks(c.vertical, c.lines);
    EXPECT_EQ(clicks.button, c.button) << c.lines;
    EXPECT_EQ(clicks.count, c.count) << c.lines;
  }
}

// Key codes 10…17 of a small keyboard, two core columns each.
class Keyboard {
 public:
  Keyboard() {
    state.min_keycode = 10;
    state.max_keycode = 17;
    state.keysyms_per_keycode = 2;
    state.core.assign(8 * 2, kNoSymbol);
    state.produces.assign(8, {});
    state.modifier_key.assign(8, false);
    state.pressed.assign(8, false);
    state.borrowed.assign(8, false);
  }
  // A key giving `plain` and `shifted` (and the same in the core map).
  Keyboard& key(std::uint8_t code, KeySym plain, char32_t plain_char, KeySym shifted = kNoSymbol,
                char32_t shifted_char = 0) {
    const std::size_t i = state.index(code);
    state.core[i * 2] = plain;
    state.core[i * 2 + 1] = shifted;
    state.produces[i][0] = {plain, plain_char};
    state.produces[i][1] = {shifted, shifted_char};
    return *this;
  }
  Keyboard& level3(std::uint8_t code, KeySym keysym, char32_t c) {
    state.produces[state.index(code)][2] = {keysym, c};
    return *this;
  }
  KeyboardState state;
};

TEST(X11InputModel, KeystrokeChoosesTheLowestLevelThenTheLowestKey) {
  Keyboard k;
  k.key(10, 0xffe1, 0).key(11, 0x61, U'a', 0x41, U'A').key(12, 0x31, U'1', 0x21, U'!').key(13, 0x21, U'!');
  k.key(14, 0xffb1, U'1')
      .key(15, 0x6d6, U'\u0436', 0x6f6, U'\u0416')
      .key(16, 0xff0d, U'\r')
      .level3(11, 0x20ac, U'\u20ac');
  k.state.modifier_key[k.state.index(10)] = true;
  k.state.shift_keycode = 10;
  k.state.level3_keycode = 17;
  using S = Keystroke;
  EXPECT_EQ(find_keystroke(k.state, U'a'), (S{11, Level::plain}));
  EXPECT_EQ(find_keystroke(k.state, U'A'), (S{11, Level::shift}));
  EXPECT_EQ(find_keystroke(k.state, U'!'), (S{13, Level::plain}));       // a plain key beats a shifted one
  EXPECT_EQ(find_keystroke(k.state, U'1'), (S{12, Level::plain}));       // never the keypad
  EXPECT_EQ(find_keystroke(k.state, U'\u0416'), (S{15, Level::shift}));  // legacy keysyms by their character
  EXPECT_EQ(find_keystroke(k.state, U'\u20ac'), (S{11, Level::level3}));
  EXPECT_EQ(find_keystroke(k.state, U'\n'), (S{16, Level::plain}));
  EXPECT_EQ(find_keystroke(k.state, U'\r'), (S{16, Level::plain}));
  EXPECT_EQ(find_keystroke(k.state, U'\t'), std::nullopt);
  EXPECT_EQ(find_keystroke(k.state, U'\u00e9'), std::nullopt);

  // Levels whose key is missing, and keys held down or borrowed, are not used.
  k.state.level3_keycode.reset();
  EXPECT_EQ(find_keystroke(k.state, U'\u20ac'), std::nullopt);
  k.state.shift_keycode.reset();
  EXPECT_EQ(find_keystroke(k.state, U'A'), std::nullopt);
  k.state.pressed[k.state.index(13)] = true;
  EXPECT_EQ(find_keystroke(k.state, U'!'), std::nullopt);
  k.state.borrowed[k.state.index(11)] = true;
  EXPECT_EQ(find_keystroke(k.state, U'a'), std::nullopt);
}

TEST(X11InputModel, KeyForKeysymPrefersWhatTheKeyGivesNow) {
  Keyboard k;
  // Key 11 gives Cyrillic in the current group but lists 'a' in the core map;
  // key 14 gives 'a' now.
  k.key(11, 0x6c6, U'\u0444').key(14, 0x61, U'a', 0x41, U'A').key(12, 0xffe3, 0).key(13, 0x2c, U',', 0x3c, U'<');
  k.state.core[k.state.index(11) * 2] = 0x61;
  k.state.core[k.state.index(16) * 2 + 1] = 0xffc8;  // F11 in the second column only
  EXPECT_EQ(key_for_keysym(k.state, 0x61), 14);
  EXPECT_EQ(key_for_keysym(k.state, 0x3c), 13);    // at the shift level, pressed without Shift
  EXPECT_EQ(key_for_keysym(k.state, 0xffe3), 12);  // modifier keys are found too
  EXPECT_EQ(key_for_keysym(k.state, 0xffc8), 16);  // from the core map
  EXPECT_EQ(key_for_keysym(k.state, 0xffc9), std::nullopt);
  EXPECT_EQ(key_for_keysym(k.state, kNoSymbol), std::nullopt);
  k.state.borrowed[k.state.index(14)] = true;
  EXPECT_EQ(key_for_keysym(k.state, 0x61), 11);
}

TEST(X11InputModel, SpareKeycodesEmptyFirstFromTheTop) {
  Keyboard k;
  k.key(10, 0x61, U'a').key(12, 0x62, U'b').key(14, 0xffe1, 0).key(16, 0x63, U'c');
  k.state.modifier_key[k.state.index(14)] = true;
  k.state.modifier_key[k.state.index(15)] = true;  // an empty modifier key is still a modifier
  k.state.pressed[k.state.index(13)] = true;
  EXPECT_EQ(spare_keycodes(k.state, true), (std::vector<std::uint8_t>{17, 11, 16, 12, 10}));
  EXPECT_EQ(spare_keycodes(k.state, false), (std::vector<std::uint8_t>{17, 11}));
  k.state.borrowed[k.state.index(17)] = true;
  EXPECT_EQ(spare_keycodes(k.state, true), (std::vector<std::uint8_t>{11, 16, 12, 10}));
}

}  // namespace
}  // namespace pelagon2::platform::x11
