#include "platform/x11/x11_input_model.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace pelagon2::platform::x11 {
namespace {

// Keypad keysyms (KP_Space … KP_9): the text they give depends on NumLock and
// on the application.
bool keypad(KeySym keysym) { return keysym >= 0xff80 && keysym <= 0xffbd; }

bool usable_key(const KeyboardState& state, std::size_t i) {
  return !state.modifier_key[i] && !state.pressed[i] && !state.borrowed[i];
}

// Case pairs of U+0100…U+058F as the core protocol's case rules have them
// (simple mappings, from an older Unicode than today's): for c = first,
// first + step, … last, the lower form is c + to_lower and the upper form
// c + to_upper. Code points listed nowhere have no case.
struct CaseRun {
  std::uint16_t first;
  std::uint16_t last;
  std::uint8_t step;
  std::int16_t to_lower;
  std::int16_t to_upper;
};
constexpr CaseRun kCaseRuns[] = {
    {0x0100, 0x012e, 2, 1, 0}, {0x0101, 0x012f, 2, 0, -1}, {0x0130, 0x0130, 1, -199, 0}, {0x0131, 0x0131, 1, 0, -232},
    {0x0132, 0x0136, 2, 1, 0}, {0x0133, 0x0137, 2, 0, -1}, {0x0139, 0x0147, 2, 1, 0}, {0x013a, 0x0148, 2, 0, -1},
    {0x014a, 0x0176, 2, 1, 0}, {0x014b, 0x0177, 2, 0, -1}, {0x0178, 0x0178, 1, -121, 0}, {0x0179, 0x017d, 2, 1, 0},
    {0x017a, 0x017e, 2, 0, -1}, {0x017f, 0x017f, 1, 0, -300}, {0x0181, 0x0181, 1, 210, 0}, {0x0182, 0x0184, 2, 1, 0},
    {0x0183, 0x0185, 2, 0, -1}, {0x0186, 0x0186, 1, 206, 0}, {0x0187, 0x0187, 1, 1, 0}, {0x0188, 0x0188, 1, 0, -1},
    {0x0189, 0x018a, 1, 205, 0}, {0x018b, 0x018b, 1, 1, 0}, {0x018c, 0x018c, 1, 0, -1}, {0x018e, 0x018e, 1, 79, 0},
    {0x018f, 0x018f, 1, 202, 0}, {0x0190, 0x0190, 1, 203, 0}, {0x0191, 0x0191, 1, 1, 0}, {0x0192, 0x0192, 1, 0, -1},
    {0x0193, 0x0193, 1, 205, 0}, {0x0194, 0x0194, 1, 207, 0}, {0x0195, 0x0195, 1, 0, 97}, {0x0196, 0x0196, 1, 211, 0},
    {0x0197, 0x0197, 1, 209, 0}, {0x0198, 0x0198, 1, 1, 0}, {0x0199, 0x0199, 1, 0, -1}, {0x019c, 0x019c, 1, 211, 0},
    {0x019d, 0x019d, 1, 213, 0}, {0x019e, 0x019e, 1, 0, 130}, {0x019f, 0x019f, 1, 214, 0}, {0x01a0, 0x01a4, 2, 1, 0},
    {0x01a1, 0x01a5, 2, 0, -1}, {0x01a6, 0x01a6, 1, 218, 0}, {0x01a7, 0x01a7, 1, 1, 0}, {0x01a8, 0x01a8, 1, 0, -1},
    {0x01a9, 0x01a9, 1, 218, 0}, {0x01ac, 0x01ac, 1, 1, 0}, {0x01ad, 0x01ad, 1, 0, -1}, {0x01ae, 0x01ae, 1, 218, 0},
    {0x01af, 0x01af, 1, 1, 0}, {0x01b0, 0x01b0, 1, 0, -1}, {0x01b1, 0x01b2, 1, 217, 0}, {0x01b3, 0x01b5, 2, 1, 0},
    {0x01b4, 0x01b6, 2, 0, -1}, {0x01b7, 0x01b7, 1, 219, 0}, {0x01b8, 0x01b8, 1, 1, 0}, {0x01b9, 0x01b9, 1, 0, -1},
    {0x01bc, 0x01bc, 1, 1, 0}, {0x01bd, 0x01bd, 1, 0, -1}, {0x01bf, 0x01bf, 1, 0, 56}, {0x01c4, 0x01c4, 1, 2, 0},
    {0x01c5, 0x01c5, 1, 1, -1}, {0x01c6, 0x01c6, 1, 0, -2}, {0x01c7, 0x01c7, 1, 2, 0}, {0x01c8, 0x01c8, 1, 1, -1},
    {0x01c9, 0x01c9, 1, 0, -2}, {0x01ca, 0x01ca, 1, 2, 0}, {0x01cb, 0x01cb, 1, 1, -1}, {0x01cc, 0x01cc, 1, 0, -2},
    {0x01cd, 0x01db, 2, 1, 0}, {0x01ce, 0x01dc, 2, 0, -1}, {0x01dd, 0x01dd, 1, 0, -79}, {0x01de, 0x01ee, 2, 1, 0},
    {0x01df, 0x01ef, 2, 0, -1}, {0x01f1, 0x01f1, 1, 2, 0}, {0x01f2, 0x01f2, 1, 1, -1}, {0x01f3, 0x01f3, 1, 0, -2},
    {0x01f4, 0x01f4, 1, 1, 0}, {0x01f5, 0x01f5, 1, 0, -1}, {0x01f6, 0x01f6, 1, -97, 0}, {0x01f7, 0x01f7, 1, -56, 0},
    {0x01f8, 0x021e, 2, 1, 0}, {0x01f9, 0x021f, 2, 0, -1}, {0x0220, 0x0220, 1, -130, 0}, {0x0222, 0x0232, 2, 1, 0},
    {0x0223, 0x0233, 2, 0, -1}, {0x0253, 0x0253, 1, 0, -210}, {0x0254, 0x0254, 1, 0, -206},
    {0x0256, 0x0257, 1, 0, -205}, {0x0259, 0x0259, 1, 0, -202}, {0x025b, 0x025b, 1, 0, -203},
    {0x0260, 0x0260, 1, 0, -205}, {0x0263, 0x0263, 1, 0, -207}, {0x0268, 0x0268, 1, 0, -209},
    {0x0269, 0x0269, 1, 0, -211}, {0x026f, 0x026f, 1, 0, -211}, {0x0272, 0x0272, 1, 0, -213},
    {0x0275, 0x0275, 1, 0, -214}, {0x0280, 0x0280, 1, 0, -218}, {0x0283, 0x0283, 1, 0, -218},
    {0x0288, 0x0288, 1, 0, -218}, {0x028a, 0x028b, 1, 0, -217}, {0x0292, 0x0292, 1, 0, -219},
    {0x0345, 0x0345, 1, 0, 84}, {0x0370, 0x0372, 2, 1, 0}, {0x0371, 0x0373, 2, 0, -1}, {0x0376, 0x0376, 1, 1, 0},
    {0x0377, 0x0377, 1, 0, -1}, {0x037b, 0x037d, 1, 0, 130}, {0x037f, 0x037f, 1, 116, 0}, {0x0386, 0x0386, 1, 38, 0},
    {0x0388, 0x038a, 1, 37, 0}, {0x038c, 0x038c, 1, 64, 0}, {0x038e, 0x038f, 1, 63, 0}, {0x0391, 0x03a1, 1, 32, 0},
    {0x03a3, 0x03ab, 1, 32, 0}, {0x03ac, 0x03ac, 1, 0, -38}, {0x03ad, 0x03af, 1, 0, -37}, {0x03b1, 0x03c1, 1, 0, -32},
    {0x03c2, 0x03c2, 1, 0, -31}, {0x03c3, 0x03cb, 1, 0, -32}, {0x03cc, 0x03cc, 1, 0, -64},
    {0x03cd, 0x03ce, 1, 0, -63}, {0x03cf, 0x03cf, 1, 8, 0}, {0x03d0, 0x03d0, 1, 0, -62}, {0x03d1, 0x03d1, 1, 0, -57},
    {0x03d5, 0x03d5, 1, 0, -47}, {0x03d6, 0x03d6, 1, 0, -54}, {0x03d7, 0x03d7, 1, 0, -8}, {0x03d8, 0x03ee, 2, 1, 0},
    {0x03d9, 0x03ef, 2, 0, -1}, {0x03f0, 0x03f0, 1, 0, -86}, {0x03f1, 0x03f1, 1, 0, -80}, {0x03f2, 0x03f2, 1, 0, 7},
    {0x03f3, 0x03f3, 1, 0, -116}, {0x03f4, 0x03f4, 1, -60, 0}, {0x03f5, 0x03f5, 1, 0, -96}, {0x03f7, 0x03f7, 1, 1, 0},
    {0x03f8, 0x03f8, 1, 0, -1}, {0x03f9, 0x03f9, 1, -7, 0}, {0x03fa, 0x03fa, 1, 1, 0}, {0x03fb, 0x03fb, 1, 0, -1},
    {0x03fd, 0x03ff, 1, -130, 0}, {0x0400, 0x040f, 1, 80, 0}, {0x0410, 0x042f, 1, 32, 0}, {0x0430, 0x044f, 1, 0, -32},
    {0x0450, 0x045f, 1, 0, -80}, {0x0460, 0x0480, 2, 1, 0}, {0x0461, 0x0481, 2, 0, -1}, {0x048a, 0x04be, 2, 1, 0},
    {0x048b, 0x04bf, 2, 0, -1}, {0x04c1, 0x04cd, 2, 1, 0}, {0x04c2, 0x04ce, 2, 0, -1}, {0x04d0, 0x04f4, 2, 1, 0},
    {0x04d1, 0x04f5, 2, 0, -1}, {0x04f8, 0x04f8, 1, 1, 0}, {0x04f9, 0x04f9, 1, 0, -1}, {0x0500, 0x050e, 2, 1, 0},
    {0x0501, 0x050f, 2, 0, -1}, {0x0531, 0x0556, 1, 48, 0}, {0x0561, 0x0586, 1, 0, -48},
};

// The case pair of code point `c` in the ranges above and Latin-1.
std::pair<char32_t, char32_t> code_point_case(char32_t c) {
  if (c <= 0xff) {
    if ((c >= U'A' && c <= U'Z') || (c >= 0xc0 && c <= 0xde && c != 0xd7)) return {c + 0x20, c};
    if ((c >= U'a' && c <= U'z') || (c >= 0xe0 && c <= 0xfe && c != 0xf7)) return {c, c - 0x20};
    if (c == 0xff) return {c, 0x178};   // ÿ, Ÿ
    if (c == 0xb5) return {c, 0x39c};   // micro sign, Greek capital mu
    if (c == 0xdf) return {c, 0x1e9e};  // ß, capital sharp s
    return {c, c};
  }
  if (c == 0x1e9e) return {0xdf, c};
  for (const CaseRun& run : kCaseRuns) {
    if (c < run.first) break;
    if (c <= run.last && (c - run.first) % run.step == 0) {
      const auto lower = static_cast<char32_t>(static_cast<std::int32_t>(c) + run.to_lower);
      const auto upper = static_cast<char32_t>(static_cast<std::int32_t>(c) + run.to_upper);
      return {lower, upper};
    }
  }
  return {c, c};
}

constexpr KeySym kUnicodeKeysym = 0x01000000;

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

CasePair convert_case(KeySym keysym) {
  // Latin-1 keysyms are their code points; a case partner outside Latin-1 is
  // a Unicode keysym.
  if (keysym <= 0xff) {
    const auto [lower, upper] = code_point_case(keysym);
    const auto as_keysym = [](char32_t c) { return c <= 0xff ? KeySym{c} : kUnicodeKeysym + c; };
    return {as_keysym(lower), as_keysym(upper)};
  }
  // Unicode keysyms convert within Unicode keysyms, Latin-1 code points included.
  if (keysym >= kUnicodeKeysym && keysym <= kUnicodeKeysym + 0x10ffff) {
    const auto [lower, upper] = code_point_case(keysym - kUnicodeKeysym);
    return {kUnicodeKeysym + lower, kUnicodeKeysym + upper};
  }
  return {keysym, keysym};
}

RootPoint clamp_to_root(std::int32_t x, std::int32_t y, std::uint16_t width, std::uint16_t height) {
  // XTest carries 16-bit coordinates; a root window is never wider.
  const auto clamp = [](std::int32_t v, std::uint16_t size) {
    const std::int32_t last = std::min<std::int32_t>(std::max<std::int32_t>(size, 1) - 1, 32767);
    return static_cast<std::int16_t>(std::clamp(v, std::int32_t{0}, last));
  };
  return {clamp(x, width), clamp(y, height)};
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
