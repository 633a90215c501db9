#include "platform/x11/x11_input.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/utf8.h"
#include "platform/x11/xlib_connection.h"
#include "platform/x11/x11_input_model.h"

namespace pelagon2::platform::x11 {
namespace {

using Duration = InputClock::Duration;
namespace act = platform::action;

Error failed(const std::string& what) { return make_error("simulating input failed: (" + what + ")"); }

Error lost() { return failed("the connection to the X display was lost"); }

// Whether Caps Lock would turn `keysym` into another one.
bool case_changes(KeySym keysym) {
  ::KeySym lower = NoSymbol, upper = NoSymbol;
  XConvertCase(keysym, &lower, &upper);
  return upper != keysym;
}

class Session final : public InputSession {
 public:
  Session(std::unique_ptr<XConnection> connection, InputClock& clock, EventPacing& pacing)
      : x_(std::move(connection)), display_(x_->display()), clock_(clock), pacing_(pacing) {}

  ~Session() override { close(); }

  Done perform(const InputAction& action) override {
    // A pause sends nothing, so it cannot fail.
    if (const auto* pause = std::get_if<act::SleepMs>(&action)) return run(*pause);
    if (!x_->alive()) return lost();
    x_->clear_error();
    Done done = std::visit([this](const auto& a) { return run(a); }, action);
    // Waiting for the server both sends the events now and tells whether it
    // refused any of them.
    const bool refused = x_->sync_failed();
    if (!done) return done;
    if (!x_->alive()) return lost();
    if (refused) return failed("the X server refused the request");
    return done;
  }

  void release_held_keys() override {
    const std::vector<std::uint8_t> held = held_;
    for (const std::uint8_t keycode : held) key(keycode, false);
    held_.clear();
    if (x_->alive()) XSync(display_, False);
  }

  void close() override {
    if (borrowed_.empty()) return;
    if (x_->alive()) {
      XSync(display_, False);
      settle();
      for (const Borrowed& b : borrowed_) {
        std::vector<::KeySym> row(b.original.begin(), b.original.end());
        XChangeKeyboardMapping(display_, b.keycode, static_cast<int>(row.size()), row.data(), 1);
      }
      XSync(display_, False);
    }
    borrowed_.clear();
  }

 private:
  struct Borrowed {
    std::uint8_t keycode = 0;
    std::vector<KeySym> original;  // the row to put back
    KeySym current = kNoSymbol;
    Duration last_use{0};
  };

  // ---- events ----

  void key(std::uint8_t keycode, bool down) {
    if (!x_->alive()) return;
    XTestFakeKeyEvent(display_, keycode, down ? True : False, CurrentTime);
    pacing_.posted();
    if (down) {
      held_.push_back(keycode);
    } else {
      std::erase(held_, keycode);
    }
  }

  void tap(std::uint8_t keycode) {
    key(keycode, true);
    key(keycode, false);
  }

  void button(unsigned number, bool down) {
    if (!x_->alive()) return;
    XTestFakeButtonEvent(display_, number, down ? True : False, CurrentTime);
    pacing_.posted();
  }

  std::optional<PointerPosition> pointer() {
    if (!x_->alive()) return std::nullopt;
    ::Window root = 0, child = 0;
    int root_x = 0, root_y = 0, win_x = 0, win_y = 0;
    unsigned mask = 0;
    XQueryPointer(display_, x_->root(), &root, &child, &root_x, &root_y, &win_x, &win_y, &mask);
    if (!x_->alive()) return std::nullopt;
    return PointerPosition{root_x, root_y};
  }

  // ---- the keyboard as it is now ----

  bool read_keyboard() {
    if (keyboard_) return true;
    int min = 0, max = 0;
    XDisplayKeycodes(display_, &min, &max);
    if (min < 8 || max > 255 || min > max) return false;
    int per = 0;
    ::KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(min), max - min + 1, &per);
    if (map == nullptr || per <= 0) {
      if (map) XFree(map);
      return false;
    }
    KeyboardState state;
    state.min_keycode = static_cast<std::uint8_t>(min);
    state.max_keycode = static_cast<std::uint8_t>(max);
    state.keysyms_per_keycode = per;
    const auto keys = static_cast<std::size_t>(max - min + 1);
    state.core.resize(keys * static_cast<std::size_t>(per));
    for (std::size_t i = 0; i < state.core.size(); ++i) state.core[i] = static_cast<KeySym>(map[i]);
    XFree(map);
    state.produces.assign(keys, {});
    state.modifier_key.assign(keys, false);
    state.pressed.assign(keys, false);
    state.borrowed.assign(keys, false);

    // Which modifier each key sets; the first key of the Shift row selects
    // the shift level, the key of ISO_Level3_Shift the third level.
    std::vector<int> modifier_of(keys, -1);
    if (XModifierKeymap* modifiers = XGetModifierMapping(display_)) {
      for (int m = 0; m < 8; ++m) {
        for (int k = 0; k < modifiers->max_keypermod; ++k) {
          const KeyCode code = modifiers->modifiermap[m * modifiers->max_keypermod + k];
          if (code == 0 || !state.has(code)) continue;
          state.modifier_key[state.index(code)] = true;
          if (modifier_of[state.index(code)] < 0) modifier_of[state.index(code)] = m;
          if (m == ShiftMapIndex && !state.shift_keycode) state.shift_keycode = code;
        }
      }
      XFreeModifiermap(modifiers);
    }
    unsigned level3_mask = 0;
    if (const std::optional<std::uint8_t> level3 = key_for_keysym(state, kIsoLevel3Shift)) {
      const int m = modifier_of[state.index(*level3)];
      if (m > ShiftMapIndex && m != LockMapIndex && m != ControlMapIndex) {
        state.level3_keycode = level3;
        level3_mask = 1u << m;
      }
    }
    char down[32] = {};
    XQueryKeymap(display_, down);
    for (int code = min; code <= max; ++code) {
      state.pressed[state.index(static_cast<std::uint8_t>(code))] = (down[code / 8] >> (code % 8)) & 1;
    }
    fill_produced(state, level3_mask);
    keyboard_ = std::move(state);
    return true;
  }

  // What each key gives at each level in the current group and lock state,
  // decoded as an application decodes it.
  void fill_produced(KeyboardState& state, unsigned level3_mask) {
    int opcode = 0, event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    XkbDescPtr xkb = nullptr;
    XkbStateRec current{};
    if (XkbQueryExtension(display_, &opcode, &event, &error, &major, &minor)) {
      xkb = XkbGetMap(display_, XkbAllClientInfoMask, XkbUseCoreKbd);
      if (xkb && XkbGetState(display_, XkbUseCoreKbd, &current) != Success) {
        XkbFreeKeyboard(xkb, 0, True);
        xkb = nullptr;
      }
    }
    state.caps_locked = xkb != nullptr && (current.locked_mods & LockMask) != 0;
    const auto per = static_cast<std::size_t>(state.keysyms_per_keycode);
    for (std::size_t i = 0; i < state.produces.size(); ++i) {
      const auto keycode = static_cast<KeyCode>(state.min_keycode + i);
      for (unsigned level = 0; level < 4; ++level) {
        if (!state.level_usable(static_cast<Level>(level))) continue;
        ::KeySym keysym = NoSymbol;
        if (xkb) {
          const unsigned mods = ((level & 1) ? ShiftMask : 0u) | ((level & 2) ? level3_mask : 0u) | current.locked_mods;
          unsigned consumed = 0;
          if (!XkbTranslateKeyCode(xkb, keycode, XkbBuildCoreState(mods, current.group), &consumed, &keysym)) {
            keysym = NoSymbol;
          }
          // A Caps Lock the key does not consume upper-cases what it gives.
          if (keysym != NoSymbol && (mods & ~consumed & LockMask)) {
            ::KeySym lower = NoSymbol, upper = NoSymbol;
            XConvertCase(keysym, &lower, &upper);
            keysym = upper;
          }
        } else if (level < 2) {
          // Without XKB: the first group's two columns.
          keysym = state.core[i * per + std::min<std::size_t>(level, per - 1)];
          if (level == 1 && keysym == NoSymbol) keysym = state.core[i * per];
        }
        const auto sym = static_cast<KeySym>(keysym);
        state.produces[i][level] = {sym, sym == kNoSymbol ? char32_t{0} : char32_t{xkb_keysym_to_utf32(sym)}};
      }
    }
    if (xkb) XkbFreeKeyboard(xkb, 0, True);
  }

  // ---- borrowed key codes ----

  void settle() {
    if (!settle_from_) return;
    const Duration due = *settle_from_ + kRemapSettle;
    const Duration now = clock_.now();
    if (due > now) clock_.sleep(due - now);
    settle_from_.reset();
  }

  // After a key event on a borrowed code: the settle time runs from when the
  // server has processed it.
  void used_borrowed(Borrowed& b) {
    XSync(display_, False);
    b.last_use = clock_.now();
    settle_from_ = b.last_use;
  }

  Expected<Borrowed*> borrow(KeySym keysym) {
    for (Borrowed& b : borrowed_) {
      if (b.current == keysym) return &b;
    }
    KeyboardState& state = *keyboard_;
    Borrowed* slot = nullptr;
    // A key that has symbols is taken only when there is nothing to recycle.
    const std::vector<std::uint8_t> spares = spare_keycodes(state, borrowed_.empty());
    if (!spares.empty()) {
      const std::size_t i = state.index(spares.front());
      const auto per = static_cast<std::size_t>(state.keysyms_per_keycode);
      Borrowed b;
      b.keycode = spares.front();
      b.original.assign(state.core.begin() + static_cast<std::ptrdiff_t>(i * per),
                        state.core.begin() + static_cast<std::ptrdiff_t>((i + 1) * per));
      state.borrowed[i] = true;
      borrowed_.push_back(std::move(b));
      slot = &borrowed_.back();
    } else if (!borrowed_.empty()) {
      // Every spare code holds a character of this text: take back the one
      // used longest ago, once applications have read it.
      slot = &*std::min_element(borrowed_.begin(), borrowed_.end(),
                                [](const Borrowed& a, const Borrowed& b) { return a.last_use < b.last_use; });
      XSync(display_, False);
      // Applications get the pacing budget of every event so far, then the
      // settle time, before the key changes under them.
      clock_.sleep(pacing_.pending());
      settle();
    } else {
      return failed("no key code is free to type the character");
    }
    ::KeySym row[1] = {keysym};
    XChangeKeyboardMapping(display_, slot->keycode, 1, row, 1);
    // Every client is told of the change and re-reads the map: it paces like an event.
    pacing_.posted();
    slot->current = keysym;
    return slot;
  }

  // ---- actions ----

  Done run(const act::MouseMove& move) {
    XTestFakeMotionEvent(display_, DefaultScreen(display_), move.x, move.y, CurrentTime);
    pacing_.posted();
    XFlush(display_);
    wait_for_pointer_arrival(clock_, move.x, move.y, [this] { return pointer(); });
    return std::monostate{};
  }

  Done run(const act::ButtonDown& a) {
    button(button_number(a.button), true);
    return std::monostate{};
  }
  Done run(const act::ButtonUp& a) {
    button(button_number(a.button), false);
    return std::monostate{};
  }

  Expected<std::uint8_t> keycode_for(KeySym keysym) {
    if (!read_keyboard()) return failed("cannot read the keyboard map");
    if (const std::optional<std::uint8_t> code = key_for_keysym(*keyboard_, keysym)) return *code;
    Expected<Borrowed*> b = borrow(keysym);
    if (!b) return std::move(b).take_error();
    return (*b)->keycode;
  }

  Done run(const act::ModifierDown& a) {
    Expected<std::uint8_t> code = keycode_for(modifier_keysym(a.modifier));
    if (!code) return std::move(code).take_error();
    key(*code, true);
    return std::monostate{};
  }

  Done run(const act::ModifierUp& a) {
    Expected<std::uint8_t> code = keycode_for(modifier_keysym(a.modifier));
    if (!code) return std::move(code).take_error();
    key(*code, false);
    return std::monostate{};
  }

  Done run(const act::KeyTap& a) {
    const KeySym keysym = key_keysym(a.key);
    Expected<std::uint8_t> code = keycode_for(keysym);
    if (!code) return std::move(code).take_error();
    tap(*code);
    for (Borrowed& b : borrowed_) {
      if (b.keycode == *code) used_borrowed(b);
    }
    return std::monostate{};
  }

  Done run(const act::TypeText& a) {
    const std::u32string text = utf8_code_points(a.text);
    // A character no keysym stands for fails the action before anything of it is typed.
    for (const char32_t c : text) {
      if (!char_keysym(c)) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
        return failed(std::string("no keysym for ") + code);
      }
    }
    if (text.empty()) return std::monostate{};
    if (!read_keyboard()) return failed("cannot read the keyboard map");
    for (const char32_t c : text) {
      if (!x_->alive()) return lost();
      if (const std::optional<Keystroke> stroke = find_keystroke(*keyboard_, c)) {
        const auto level = static_cast<unsigned>(stroke->level);
        if (level & 1) key(*keyboard_->shift_keycode, true);
        if (level & 2) key(*keyboard_->level3_keycode, true);
        tap(stroke->keycode);
        if (level & 2) key(*keyboard_->level3_keycode, false);
        if (level & 1) key(*keyboard_->shift_keycode, false);
        continue;
      }
      const KeySym keysym = *char_keysym(c);
      Expected<Borrowed*> b = borrow(keysym);
      if (!b) return std::move(b).take_error();
      // A borrowed key has one level, so a locked Caps Lock would upper-case
      // what it gives: lift the lock for this one keystroke.
      const bool lift_caps = keyboard_->caps_locked && case_changes(keysym);
      if (lift_caps) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, 0);
      tap((*b)->keycode);
      if (lift_caps) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, LockMask);
      used_borrowed(**b);
    }
    return std::monostate{};
  }

  Done wheel(bool vertical, std::int32_t lines) {
    const WheelClicks clicks = wheel_clicks(vertical, lines);
    for (std::uint32_t i = 0; i < clicks.count && x_->alive(); ++i) {
      button(clicks.button, true);
      button(clicks.button, false);
    }
    return std::monostate{};
  }
  Done run(const act::WheelVertical& a) { return wheel(true, a.lines); }
  Done run(const act::WheelHorizontal& a) { return wheel(false, a.lines); }

  Done run(const act::SleepMs& a) {
    XFlush(display_);
    constexpr std::uint64_t kMaxMs = 1000ull * 60 * 60 * 24 * 365;
    clock_.sleep(std::chrono::milliseconds(static_cast<std::int64_t>(std::min(a.milliseconds, kMaxMs))));
    return std::monostate{};
  }

  std::unique_ptr<XConnection> x_;
  Display* display_;
  InputClock& clock_;
  EventPacing& pacing_;
  std::optional<KeyboardState> keyboard_;
  std::vector<Borrowed> borrowed_;
  std::optional<Duration> settle_from_;
  std::vector<std::uint8_t> held_;
};

class Backend final : public InputBackend {
 public:
  explicit Backend(InputClock& clock) : clock_(clock) {}
  InputClock& clock() override { return clock_; }

  Expected<std::unique_ptr<InputSession>> open(EventPacing& pacing) override {
    std::unique_ptr<XConnection> connection = XConnection::open();
    if (!connection) {
      return make_error("input_backend_unavailable: no connection could be established: (cannot open the X display)");
    }
    int event = 0, error = 0, major = 0, minor = 0;
    // Without XTest nothing may synthesise input: the counterpart of a
    // missing input permission.
    if (!XTestQueryExtension(connection->display(), &event, &error, &major, &minor)) {
      return make_error("input_backend_unavailable: the application does not have the permission to simulate input");
    }
    return std::unique_ptr<InputSession>(new Session(std::move(connection), clock_, pacing));
  }

 private:
  InputClock& clock_;
};

}  // namespace

std::unique_ptr<InputBackend> make_input(InputClock& clock) { return std::make_unique<Backend>(clock); }

}  // namespace pelagon2::platform::x11
