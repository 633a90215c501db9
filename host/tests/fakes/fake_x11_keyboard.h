#pragma once
// A scripted X server behind the X11 input model's keyboard seam. It keeps a
// keyboard (groups of levels per key, the core rows, the modifier map, locks),
// turns a changed core row into levels as XKB does (a lone cased keysym
// becomes its lower and upper case), and decodes every key press as an
// application would: the level of the held modifiers, the locked group, Caps
// Lock. It records the text so decoded, every call, and each borrowed key
// code changed before applications had had the settle time to decode it.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/utf8.h"
#include "fakes/fake_platform.h"
#include "platform/x11/x11_keyboard.h"

namespace pelagon2::testing {

namespace x11 = platform::x11;

struct FakeX11System {
  using KeySym = x11::KeySym;
  using Levels = std::array<KeySym, 4>;  // plain, Shift, level 3, Shift + level 3
  static constexpr int kPerKeycode = 4;  // core columns: group 1's two levels, then group 2's

  struct Key {
    std::vector<Levels> groups;
    std::vector<KeySym> core;  // kPerKeycode entries
  };

  FakeClock* clock = nullptr;
  std::uint8_t min_keycode = 8;
  std::uint8_t max_keycode = 255;
  std::map<std::uint8_t, Key> keys;  // a key code missing here has no symbols
  // Eight rows of two: Shift, Lock, Control, Mod1 … Mod5.
  std::array<std::array<std::uint8_t, 2>, 8> modifiers{};
  std::uint8_t locked_mods = 0;
  std::uint32_t locked_group = 0;
  std::set<std::uint8_t> down;  // keys held, by anyone
  x11::RootSize root{1280, 800};
  platform::PointerPosition pointer{0, 0};
  bool has_xkb = true;
  bool core_map_fails = false;
  // The connection breaks after this many sending calls.
  std::optional<std::size_t> lose_after;
  // A sending call whose log line this accepts is refused by the server.
  std::function<bool(const std::string&)> refuse;
  std::optional<std::string> open_error;

  // What happened.
  std::u32string typed;
  std::vector<std::string> log;
  std::vector<std::string> violations;
  std::size_t remap_requests = 0;
  std::size_t pointer_reads = 0;
  bool lost = false;

  // A US-like keyboard: letters a…z on 24…49 (with Cyrillic in a second
  // group when `russian`), digits on 10…19, a few marks, the modifiers, a
  // level-3 key giving € on e, Return, Tab, F1…F12 and the arrows.
  static FakeX11System us(bool russian = false) {
    FakeX11System s;
    const char32_t cyrillic[26] = {U'ф', U'и', U'с', U'в', U'у', U'а', U'п', U'р', U'ш', U'о', U'л', U'д', U'ь',
                                   U'т', U'щ', U'з', U'й', U'к', U'ы', U'е', U'г', U'м', U'ц', U'ч', U'н', U'я'};
    for (int i = 0; i < 26; ++i) {
      const KeySym lower = static_cast<KeySym>('a' + i);
      std::vector<Levels> groups = {{lower, lower - 0x20, 0, 0}};
      if (russian) {
        const KeySym ru = 0x01000000u + cyrillic[i];
        groups.push_back({ru, ru - 0x20, 0, 0});
      }
      s.set(static_cast<std::uint8_t>(24 + i), groups);
    }
    s.set(28, {{'e', 'E', 0x20ac, 0}});  // e, E, €
    const char* shifted = "!@#$%^&*()";
    for (int i = 0; i < 10; ++i) {
      s.set(static_cast<std::uint8_t>(10 + i),
            {{static_cast<KeySym>(i == 9 ? '0' : '1' + i), static_cast<KeySym>(shifted[i]), 0, 0}});
    }
    const std::pair<std::uint8_t, Levels> marks[] = {
        {59, {',', '<', 0, 0}},   {60, {'.', '>', 0, 0}},   {61, {'/', '?', 0, 0}},   {47, {';', ':', 0, 0}},
        {20, {'-', '_', 0, 0}},   {65, {' ', ' ', 0, 0}},   {36, {0xff0d, 0, 0, 0}},  {23, {0xff09, 0, 0, 0}},
        {22, {0xff08, 0, 0, 0}},  {9, {0xff1b, 0, 0, 0}},   {119, {0xffff, 0, 0, 0}}, {111, {0xff52, 0, 0, 0}},
        {116, {0xff54, 0, 0, 0}}, {113, {0xff51, 0, 0, 0}}, {114, {0xff53, 0, 0, 0}}, {50, {0xffe1, 0, 0, 0}},
        {66, {0xffe5, 0, 0, 0}},  {37, {0xffe3, 0, 0, 0}},  {64, {0xffe9, 0, 0, 0}},  {133, {0xffeb, 0, 0, 0}},
        {92, {0xfe03, 0, 0, 0}},  {51, {'\\', '|', 0, 0}},
    };
    for (const auto& [code, levels] : marks) s.set(code, {levels});
    for (std::uint8_t f = 0; f < 12; ++f) s.set(static_cast<std::uint8_t>(67 + f), {{0xffbeu + f, 0, 0, 0}});
    s.modifiers[0] = {50, 0};   // Shift
    s.modifiers[1] = {66, 0};   // Lock
    s.modifiers[2] = {37, 0};   // Control
    s.modifiers[3] = {64, 0};   // Mod1
    s.modifiers[6] = {133, 0};  // Mod4
    s.modifiers[7] = {92, 0};   // Mod5: level 3
    return s;
  }

  // Gives `code` these groups (and the matching core row).
  void set(std::uint8_t code, const std::vector<Levels>& groups) {
    Key key;
    key.groups = groups;
    key.core.assign(kPerKeycode, 0);
    for (std::size_t g = 0; g < groups.size() && g < 2; ++g) {
      key.core[g * 2] = groups[g][0];
      key.core[g * 2 + 1] = groups[g][1];
    }
    keys[code] = key;
  }

  // Fills every key code from `first` to `last` with a key, so that only the
  // others are spare.
  void occupy(std::uint8_t first, std::uint8_t last) {
    for (int code = first; code <= last; ++code) {
      if (!keys.contains(static_cast<std::uint8_t>(code))) set(static_cast<std::uint8_t>(code), {{0xffc9, 0, 0, 0}});
    }
  }

  std::vector<KeySym> core_map() const {
    std::vector<KeySym> map;
    for (int code = min_keycode; code <= max_keycode; ++code) {
      const auto it = keys.find(static_cast<std::uint8_t>(code));
      for (int c = 0; c < kPerKeycode; ++c) map.push_back(it == keys.end() ? 0 : it->second.core[c]);
    }
    return map;
  }

  std::string typed_utf8() const {
    std::string out;
    for (const char32_t c : typed) append_utf8(out, c);
    return out;
  }

  static void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }

  bool in_modifier_row(std::uint8_t code, int row) const {
    return code != 0 && (modifiers[row][0] == code || modifiers[row][1] == code);
  }
  bool modifier_key(std::uint8_t code) const {
    for (int row = 0; row < 8; ++row) {
      if (in_modifier_row(code, row)) return true;
    }
    return false;
  }

  // The keysym `code` gives with Shift and level 3 as given, in the locked
  // group and Caps Lock state, as XKB clients decode it.
  KeySym decode(std::uint8_t code, bool shift, bool level3) const {
    const auto it = keys.find(code);
    if (it == keys.end() || it->second.groups.empty()) return 0;
    // A group past the key's own wraps around.
    const Levels& levels = it->second.groups[locked_group % it->second.groups.size()];
    const bool lock = (locked_mods & x11::kLockMask) != 0;
    const bool alphabetic =
        levels[0] != levels[1] && x11::convert_case(levels[0]) == x11::CasePair{levels[0], levels[1]};
    unsigned level = (shift ? 1u : 0u) | (level3 && (levels[2] || levels[3]) ? 2u : 0u);
    if (levels[1] == 0) level &= 2u;                   // one level: Shift changes nothing
    if (alphabetic && lock && level < 2) level ^= 1u;  // the type takes Lock as Shift
    KeySym keysym = levels[level];
    if (!alphabetic && lock) keysym = x11::convert_case(keysym).upper;  // capitalisation
    return keysym;
  }

  static char32_t character(KeySym keysym) {
    switch (keysym) {
      case 0xff0d:
        return U'\n';
      case 0xff09:
        return U'\t';
      case 0xff08:
        return 0x08;
      case 0xff1b:
        return 0x1b;
      case 0xffff:
        return 0x7f;
      case 0x20ac:
        return U'€';
      default:
        break;
    }
    if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff)) return keysym;
    if (keysym >= 0x01000100 && keysym <= 0x0110ffff) return keysym - 0x01000000;
    return 0;
  }

  // A changed core row as XKB takes it: group 1 from the first two columns,
  // group 2 from the next two; a lone keysym with case is its lower and upper case.
  static std::vector<Levels> levels_of_row(const std::vector<KeySym>& row) {
    std::vector<Levels> groups;
    for (std::size_t g = 0; g < 2 && g * 2 < row.size(); ++g) {
      const KeySym first = row[g * 2];
      const KeySym second = g * 2 + 1 < row.size() ? row[g * 2 + 1] : 0;
      if (first == 0 && second == 0) continue;
      if (second == 0) {
        const x11::CasePair pair = x11::convert_case(first);
        groups.push_back(pair.lower != pair.upper ? Levels{pair.lower, pair.upper, 0, 0} : Levels{first, 0, 0, 0});
      } else {
        groups.push_back({first, second, 0, 0});
      }
    }
    return groups;
  }

  // ---- what the seam calls ----

  bool sending(const std::string& line) {
    if (lost) return false;
    if (lose_after && *lose_after == 0) {
      lost = true;
      return false;
    }
    if (lose_after) --*lose_after;
    log.push_back(line);
    if (refuse && refuse(line)) refused = true;
    return true;
  }

  void press(std::uint8_t code, bool is_down) {
    if (!sending((is_down ? "press " : "release ") + std::to_string(code))) return;
    if (is_down) {
      down.insert(code);
    } else {
      down.erase(code);
    }
    KeyUse& use = uses[code];
    use.unprocessed = true;
    use.pressed = true;
    if (!is_down || modifier_key(code)) return;
    bool shift = false;
    bool level3 = false;
    for (const std::uint8_t held : down) {
      shift = shift || in_modifier_row(held, 0);
      level3 = level3 || in_modifier_row(held, 7);
    }
    if (const char32_t c = character(decode(code, shift, level3))) typed.push_back(c);
  }

  void remap(std::uint8_t first, std::uint8_t per, const std::vector<KeySym>& rows) {
    std::string line = "remap " + std::to_string(first) + " +" + std::to_string(rows.size() / per);
    if (!sending(line)) return;
    ++remap_requests;
    for (std::size_t n = 0; n * per < rows.size(); ++n) {
      const auto code = static_cast<std::uint8_t>(first + n);
      check_settled(code);
      const std::vector<KeySym> row(rows.begin() + static_cast<std::ptrdiff_t>(n * per),
                                    rows.begin() + static_cast<std::ptrdiff_t>((n + 1) * per));
      Key key;
      key.groups = levels_of_row(row);
      key.core.assign(kPerKeycode, 0);
      for (std::size_t c = 0; c < row.size() && c < kPerKeycode; ++c) key.core[c] = row[c];
      if (key.groups.empty()) {
        keys.erase(code);
      } else {
        keys[code] = key;
      }
    }
  }

  // One XKB request for several key codes; those between stay as they are.
  void set_keys(const std::vector<std::pair<std::uint8_t, KeySym>>& changes) {
    std::string line = "set keys";
    for (const auto& [code, keysym] : changes) line += " " + std::to_string(code);
    if (!sending(line)) return;
    ++remap_requests;
    for (const auto& [code, keysym] : changes) {
      check_settled(code);
      if (keysym == 0) {
        keys.erase(code);
      } else {
        set(code, {{keysym, keysym, 0, 0}});
      }
    }
  }

  // A code pressed since it last changed may change again only once the
  // server processed the press and the settle time has passed since.
  void check_settled(std::uint8_t code) {
    KeyUse& use = uses[code];
    if (use.pressed) {
      if (use.unprocessed) {
        violations.push_back("key code " + std::to_string(code) + " changed before its press was processed");
      } else if (clock && clock->time - use.processed < x11::kRemapSettle) {
        violations.push_back("key code " + std::to_string(code) + " changed " +
                             std::to_string((clock->time - use.processed).count() / 1000000) +
                             " ms after its press was processed");
      }
    }
    use = KeyUse{};
  }

  x11::SyncResult sync() {
    if (lost) return x11::SyncResult::lost;
    log.push_back("sync");
    for (auto& [code, use] : uses) {
      if (use.unprocessed) {
        use.unprocessed = false;
        use.processed = clock ? clock->time : platform::Clock::Duration{0};
      }
    }
    return refused ? x11::SyncResult::refused : x11::SyncResult::ok;
  }

  std::unique_ptr<x11::X11Keyboard> make_keyboard();
  std::unique_ptr<platform::InputBackend> backend(platform::Clock& input_clock);

  struct KeyUse {
    bool pressed = false;
    bool unprocessed = false;
    platform::Clock::Duration processed{0};
  };
  std::map<std::uint8_t, KeyUse> uses;
  bool refused = false;
};

class FakeX11Keyboard final : public platform::x11::X11Keyboard {
 public:
  explicit FakeX11Keyboard(FakeX11System& system) : s_(system) {}

  bool alive() override { return !s_.lost; }
  void clear_error() override { s_.refused = false; }
  platform::x11::SyncResult sync() override { return s_.sync(); }
  void flush() override {}

  void key(std::uint8_t keycode, bool down) override { s_.press(keycode, down); }
  void button(std::uint8_t button, bool down) override {
    s_.sending("button " + std::to_string(button) + (down ? " down" : " up"));
  }
  void motion(std::int16_t x, std::int16_t y) override {
    if (!s_.sending("motion " + std::to_string(x) + "," + std::to_string(y))) return;
    // The server keeps the pointer on the root window.
    s_.pointer = {std::clamp<std::int32_t>(x, 0, s_.root.width - 1),
                  std::clamp<std::int32_t>(y, 0, s_.root.height - 1)};
  }
  void remap(std::uint8_t first, std::uint8_t per, const std::vector<platform::x11::KeySym>& rows) override {
    s_.remap(first, per, rows);
  }
  bool set_keys(const std::vector<std::pair<std::uint8_t, platform::x11::KeySym>>& keys) override {
    if (!s_.has_xkb || s_.lost) return false;
    s_.set_keys(keys);
    return true;
  }
  void lock_caps(bool locked) override {
    if (!s_.sending(locked ? "caps on" : "caps off")) return;
    if (locked) {
      s_.locked_mods = static_cast<std::uint8_t>(s_.locked_mods | platform::x11::kLockMask);
    } else {
      s_.locked_mods = static_cast<std::uint8_t>(s_.locked_mods & ~platform::x11::kLockMask);
    }
  }

  std::optional<platform::x11::CoreKeyboardMap> core_map() override {
    if (s_.lost || s_.core_map_fails) return std::nullopt;
    return platform::x11::CoreKeyboardMap{s_.min_keycode, s_.max_keycode, FakeX11System::kPerKeycode, s_.core_map()};
  }
  std::optional<platform::x11::ModifierMap> modifier_map() override {
    if (s_.lost) return std::nullopt;
    platform::x11::ModifierMap map;
    map.keycodes_per_modifier = 2;
    for (const auto& row : s_.modifiers) map.keycodes.insert(map.keycodes.end(), row.begin(), row.end());
    return map;
  }
  std::optional<std::array<std::uint8_t, 32>> pressed_keys() override {
    if (s_.lost) return std::nullopt;
    std::array<std::uint8_t, 32> bits{};
    for (const std::uint8_t code : s_.down)
      bits[code / 8] = static_cast<std::uint8_t>(bits[code / 8] | (1u << (code % 8)));
    return bits;
  }
  std::optional<platform::x11::XkbLocks> xkb_state() override {
    if (s_.lost || !s_.has_xkb) return std::nullopt;
    return platform::x11::XkbLocks{s_.locked_mods, s_.locked_group};
  }
  platform::x11::KeySym xkb_key_sym(std::uint8_t keycode, std::uint32_t mods) override {
    return s_.decode(keycode, (mods & platform::x11::kShiftMask) != 0, (mods & (1u << 7)) != 0);
  }
  char32_t keysym_character(platform::x11::KeySym keysym) override { return FakeX11System::character(keysym); }

  std::optional<platform::PointerPosition> pointer() override {
    if (s_.lost) return std::nullopt;
    ++s_.pointer_reads;
    return s_.pointer;
  }
  platform::x11::RootSize root_size() override { return s_.root; }

 private:
  FakeX11System& s_;
};

inline std::unique_ptr<platform::x11::X11Keyboard> FakeX11System::make_keyboard() {
  return std::make_unique<FakeX11Keyboard>(*this);
}

inline std::unique_ptr<platform::InputBackend> FakeX11System::backend(platform::Clock& input_clock) {
  return platform::x11::make_input_backend(
      [this]() -> Expected<std::unique_ptr<platform::x11::X11Keyboard>> {
        if (open_error) return make_error(*open_error);
        return make_keyboard();
      },
      input_clock);
}

}  // namespace pelagon2::testing
