// Input on wlroots compositors: one virtual pointer and one virtual keyboard
// per connection, kept between requests. The keyboard carries a full US
// keymap, uploaded again with F13…F24 giving the characters of a text that
// the US layout lacks (wlr_keymap_model); the same keymap compiled here says
// which key and shift level types each character.
#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <variant>

#include "core/utf8.h"
#include "platform/wayland/wayland_input_model.h"
#include "platform/wayland/wlr_connection.h"
#include "platform/wayland/wlr_input.h"
#include "platform/wayland/wlr_keymap_model.h"
#include "platform/x11/x11_input_model.h"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"

namespace pelagon2::platform::wayland::wlr {
namespace {

namespace act = platform::action;

// Characters of one text counted as one paced event, as on X11 and macOS.
constexpr std::size_t kTextChunk = 20;
// A keyboard the seat has just gained reaches clients only once they have
// asked the seat for it: keys sent sooner are lost to them (without a wait,
// GTK missed the first keys of a new connection in one run of three; 100 ms
// sufficed on an idle machine). Paid once per connection.
constexpr std::chrono::milliseconds kNewKeyboardSettle{250};

Error failed(const std::string& what) { return make_error("simulating input failed: (" + what + ")"); }
Error lost() { return failed("the connection to the Wayland compositor was lost"); }

void quiet_log(xkb_context*, xkb_log_level, const char*, va_list) {}

std::uint32_t now_ms() {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

bool keypad(xkb_keysym_t k) { return k >= 0xff80 && k <= 0xffbd; }

struct Stroke {
  EvdevCode code = 0;
  bool shift = false;
};

// The keyboard as uploaded: the base keymap's text, what its keys type, the
// slots' current contents and the modifier state sent so far.
class Keyboard {
 public:
  ~Keyboard() {
    if (state_) xkb_state_unref(state_);
    if (keymap_) xkb_keymap_unref(keymap_);
    if (context_) xkb_context_unref(context_);
  }

  bool init() {
    context_ = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!context_) return false;
    xkb_context_set_log_fn(context_, quiet_log);
    const xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
    xkb_keymap* base = xkb_keymap_new_from_names(context_, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!base) return false;
    char* text = xkb_keymap_get_as_string(base, XKB_KEYMAP_FORMAT_TEXT_V1);
    if (text) base_text_ = text;
    std::free(text);
    index(base);
    keymap_ = base;
    state_ = xkb_state_new(keymap_);
    return !base_text_.empty() && state_ != nullptr;
  }

  // The key and level of the base layout that type `c`, else nullopt.
  std::optional<Stroke> stroke(char32_t c, KeySym keysym) const {
    if (c != U'\n' && c != U'\r' && c != U'\t') {
      if (const auto it = by_char_.find(c); it != by_char_.end()) return it->second;
    }
    if (const auto it = by_keysym_.find(keysym); it != by_keysym_.end()) return it->second;
    return std::nullopt;
  }

  // The key giving `keysym` unshifted, else nullopt.
  std::optional<Stroke> plain_key(KeySym keysym) const {
    const auto it = by_keysym_.find(keysym);
    if (it == by_keysym_.end() || it->second.shift) return std::nullopt;
    return it->second;
  }

  // The keymap text with `slots`, compiled here too so the modifier state
  // stays that of what the compositor holds. False when it does not compile.
  std::optional<std::string> with_slots(const Slots& wanted) {
    std::string text = keymap_with_slots(base_text_, wanted);
    if (text.empty()) return std::nullopt;
    xkb_keymap* compiled =
        xkb_keymap_new_from_string(context_, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!compiled) return std::nullopt;
    // Each slot must give its keysym, or the text would come out wrong.
    for (std::size_t s = 0; s < kSlotCount; ++s) {
      if (wanted[s] == 0) continue;
      const xkb_keysym_t* syms = nullptr;
      const int n = xkb_keymap_key_get_syms_by_level(compiled, slot_code(s) + kXkbOffset, 0, 0, &syms);
      if (n != 1 || syms[0] != wanted[s]) {
        xkb_keymap_unref(compiled);
        return std::nullopt;
      }
    }
    xkb_state* state = xkb_state_new(compiled);
    if (!state) {
      xkb_keymap_unref(compiled);
      return std::nullopt;
    }
    // The held keys carry over.
    for (const EvdevCode code : held_) xkb_state_update_key(state, code + kXkbOffset, XKB_KEY_DOWN);
    xkb_state_unref(state_);
    xkb_keymap_unref(keymap_);
    keymap_ = compiled;
    state_ = state;
    return text;
  }

  // A key went down or up: the modifier state to send.
  struct Mods {
    std::uint32_t depressed, latched, locked, group;
  };
  Mods update(EvdevCode code, bool down) {
    xkb_state_update_key(state_, code + kXkbOffset, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    if (down) {
      held_.push_back(code);
    } else {
      std::erase(held_, code);
    }
    return {xkb_state_serialize_mods(state_, XKB_STATE_MODS_DEPRESSED),
            xkb_state_serialize_mods(state_, XKB_STATE_MODS_LATCHED),
            xkb_state_serialize_mods(state_, XKB_STATE_MODS_LOCKED),
            xkb_state_serialize_layout(state_, XKB_STATE_LAYOUT_EFFECTIVE)};
  }
  const std::vector<EvdevCode>& held() const { return held_; }

  Slots slots{};               // what the compositor's keymap holds on F13…F24
  bool uploaded = false;       // a keymap of ours is on the keyboard
  std::string uploaded_text;   // for the keymap's memfd

 private:
  static constexpr xkb_keycode_t kFirstKeyPastMainBlock = 248;  // KEY_MICMUTE
  // What each key of the base layout types at its unshifted and shifted level.
  void index(xkb_keymap* keymap) {
    const xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    const xkb_keycode_t min = xkb_keymap_min_keycode(keymap), max = xkb_keymap_max_keycode(keymap);
    for (const bool shifted : {false, true}) {
      for (xkb_keycode_t key = min; key <= max && key >= kXkbOffset; ++key) {
        // Beyond the main block (KEY_MICMUTE on: multimedia keys, KEY_EURO)
        // some clients, Chromium among them, ignore the key: characters found
        // only there go on a spare key instead.
        if (key - kXkbOffset >= kFirstKeyPastMainBlock) continue;
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, key, 0);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
          // Only the levels reached with nothing or with Shift alone.
          xkb_mod_mask_t masks[8];
          const std::size_t n = xkb_keymap_key_get_mods_for_level(keymap, key, 0, level, masks, 8);
          const xkb_mod_mask_t wanted = shifted ? (xkb_mod_mask_t{1} << shift) : 0;
          if (std::find(masks, masks + n, wanted) == masks + n) continue;
          const xkb_keysym_t* syms = nullptr;
          if (xkb_keymap_key_get_syms_by_level(keymap, key, 0, level, &syms) != 1) continue;
          const xkb_keysym_t k = syms[0];
          if (keypad(k) || (k >= 0xffe1 && k <= 0xffee) || k == 0xfe03) continue;
          const Stroke s{key - kXkbOffset, shifted};
          by_keysym_.emplace(k, s);
          const char32_t c = xkb_keysym_to_utf32(k);
          if (c >= 0x20 && c != 0x7f) by_char_.emplace(c, s);
        }
      }
    }
  }

  xkb_context* context_ = nullptr;
  xkb_keymap* keymap_ = nullptr;
  xkb_state* state_ = nullptr;
  std::string base_text_;
  std::map<KeySym, Stroke> by_keysym_;
  std::map<char32_t, Stroke> by_char_;
  std::vector<EvdevCode> held_;
};

// The devices made on the current connection.
struct Devices {
  zwlr_virtual_pointer_v1* pointer = nullptr;
  zwp_virtual_keyboard_v1* keyboard_proxy = nullptr;
  Keyboard keyboard;
  bool settled = false;

  ~Devices() {
    if (pointer) zwlr_virtual_pointer_v1_destroy(pointer);
    if (keyboard_proxy) zwp_virtual_keyboard_v1_destroy(keyboard_proxy);
  }
};

bool upload(Connection& c, Devices& d, const std::string& text) {
  const int fd = ::memfd_create("pelagon2-keymap", MFD_CLOEXEC);
  if (fd < 0) return false;
  const std::size_t size = text.size() + 1;
  bool ok = ::write(fd, text.c_str(), size) == static_cast<ssize_t>(size);
  if (ok) zwp_virtual_keyboard_v1_keymap(d.keyboard_proxy, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                         static_cast<std::uint32_t>(size));
  // The request carries a duplicate of the descriptor once flushed.
  ok = ok && c.flush();
  ::close(fd);
  return ok;
}

class WlrSession final : public InputSession {
 public:
  WlrSession(Connection& c, Devices& d, Clock& clock, EventPacing& pacing)
      : c_(c), d_(d), clock_(clock), pacing_(pacing), outputs_(c.outputs()) {}

  Done perform(const InputAction& action) override {
    if (const auto* pause = std::get_if<act::SleepMs>(&action)) return run(*pause);
    if (!c_.alive()) return lost();
    Done done = std::visit([this](const auto& a) { return run(a); }, action);
    session().input_posted = std::chrono::steady_clock::now();
    // A round trip: the compositor has taken in every event, or is gone.
    const bool reached = c_.roundtrip(deadline_from_now());
    if (!done) return done;
    if (!reached) return lost();
    return done;
  }

  void release_held_keys() override {
    if (!c_.alive()) return;
    const std::vector<EvdevCode> keys = d_.keyboard.held();
    for (const EvdevCode code : keys) key(code, false);
    // Buttons stay as requested: a press and its release may be requests apart (a drag).
    c_.roundtrip(deadline_from_now());
  }

 private:
  // ---- events ----
  void key(EvdevCode code, bool down, bool paced = true) {
    zwp_virtual_keyboard_v1_key(d_.keyboard_proxy, now_ms(), code,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    const Keyboard::Mods m = d_.keyboard.update(code, down);
    zwp_virtual_keyboard_v1_modifiers(d_.keyboard_proxy, m.depressed, m.latched, m.locked, m.group);
    if (paced) pacing_.posted();
  }
  void tap(EvdevCode code, bool paced = true) {
    key(code, true, paced);
    key(code, false, paced);
  }
  void button(EvdevCode code, bool down) {
    zwlr_virtual_pointer_v1_button(d_.pointer, now_ms(), code,
                                   down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(d_.pointer);
    pacing_.posted();
  }

  // ---- actions ----
  Done run(const act::MouseMove& move) {
    const Output* on = output_at(outputs_, move.x, move.y);
    if (on == nullptr) return failed("no display to move the pointer onto");
    // Onto the output: its last point is width - 1 points from its origin.
    const double x = std::clamp<double>(move.x, on->x, on->x + std::max(on->width - 1, 0.0));
    const double y = std::clamp<double>(move.y, on->y, on->y + std::max(on->height - 1, 0.0));
    // Absolute motion is a fraction of the whole layout's extent.
    double left = on->x, top = on->y, right = on->x + on->width, bottom = on->y + on->height;
    for (const Output& o : outputs_) {
      left = std::min(left, o.x), top = std::min(top, o.y);
      right = std::max(right, o.x + o.width), bottom = std::max(bottom, o.y + o.height);
    }
    zwlr_virtual_pointer_v1_motion_absolute(d_.pointer, now_ms(), static_cast<std::uint32_t>(x - left),
                                            static_cast<std::uint32_t>(y - top),
                                            static_cast<std::uint32_t>(right - left),
                                            static_cast<std::uint32_t>(bottom - top));
    zwlr_virtual_pointer_v1_frame(d_.pointer);
    pacing_.posted();
    return std::monostate{};
  }
  Done run(const act::ButtonDown& a) {
    button(button_code(a.button), true);
    return std::monostate{};
  }
  Done run(const act::ButtonUp& a) {
    button(button_code(a.button), false);
    return std::monostate{};
  }
  Done run(const act::ModifierDown& a) {
    key(modifier_code(a.modifier), true);
    return std::monostate{};
  }
  Done run(const act::ModifierUp& a) {
    key(modifier_code(a.modifier), false);
    return std::monostate{};
  }
  // A key by the keysym X11 gives it, as an application decodes it: the US
  // layout's own key when it has one at the plain level, else a slot (the
  // layout's F13 and up give multimedia keysyms, not F13).
  Done run(const act::KeyTap& a) {
    const KeySym keysym = x11::key_keysym(a.key);
    if (const std::optional<Stroke> s = d_.keyboard.plain_key(keysym)) {
      tap(s->code);
      return std::monostate{};
    }
    const std::vector<SlotRun> runs = plan_slots({keysym}, [](KeySym) { return false; }, d_.keyboard.slots);
    if (runs.size() != 1) return failed("no key for it on the keyboard");
    if (Done done = ensure_slots(runs.front().slots, runs.front().upload); !done) return done;
    const auto slot = std::find(runs.front().slots.begin(), runs.front().slots.end(), keysym);
    tap(slot_code(static_cast<std::size_t>(slot - runs.front().slots.begin())));
    return std::monostate{};
  }

  Done ensure_slots(const Slots& slots, bool changed) {
    if (!changed && d_.keyboard.uploaded) return std::monostate{};
    const std::optional<std::string> keymap = d_.keyboard.with_slots(slots);
    if (!keymap) return failed("the keyboard map could not be built");
    if (!upload(c_, d_, *keymap)) return lost();
    d_.keyboard.slots = slots;
    d_.keyboard.uploaded = true;
    return std::monostate{};
  }

  Done run(const act::TypeText& a) {
    const std::u32string text = utf8_code_points(a.text);
    std::vector<KeySym> keysyms;
    keysyms.reserve(text.size());
    for (const char32_t c : text) {
      const std::optional<x11::KeySym> k = x11::char_keysym(c);
      if (!k) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
        return failed(std::string("no keysym for ") + code);
      }
      keysyms.push_back(*k);
    }
    std::vector<std::optional<Stroke>> strokes;
    strokes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) strokes.push_back(d_.keyboard.stroke(text[i], keysyms[i]));
    // Base keys are looked up by keysym: a slot is only for what none types.
    std::map<KeySym, bool> in_base;
    for (std::size_t i = 0; i < text.size(); ++i) in_base[keysyms[i]] = in_base[keysyms[i]] || strokes[i].has_value();
    const std::vector<SlotRun> runs =
        plan_slots(keysyms, [&](KeySym k) { return in_base[k]; }, d_.keyboard.slots);
    std::size_t typed = 0;
    for (const SlotRun& run : runs) {
      if (Done done = ensure_slots(run.slots, run.upload); !done) return done;
      for (std::size_t i = run.begin; i < run.end; ++i) {
        if (!c_.alive()) return lost();
        if (strokes[i]) {
          if (strokes[i]->shift) key(kKeyLeftShift, true, false);
          tap(strokes[i]->code, false);
          if (strokes[i]->shift) key(kKeyLeftShift, false, false);
        } else {
          const auto slot = std::find(run.slots.begin(), run.slots.end(), keysyms[i]);
          if (slot == run.slots.end()) return failed("the keyboard map lacks a character");
          tap(slot_code(static_cast<std::size_t>(slot - run.slots.begin())), false);
        }
        if (++typed % kTextChunk == 0) pacing_.posted();
      }
    }
    if (typed % kTextChunk != 0) pacing_.posted();
    return std::monostate{};
  }

  Done wheel(bool vertical, std::int32_t lines) {
    const WheelAxis w = wheel_axis(vertical, lines);
    if (w.steps == 0) return std::monostate{};
    const std::uint32_t axis =
        w.axis == Axis::vertical ? WL_POINTER_AXIS_VERTICAL_SCROLL : WL_POINTER_AXIS_HORIZONTAL_SCROLL;
    const std::int32_t direction = w.steps > 0 ? 1 : -1;
    // One frame per click, as a real wheel sends them.
    for (std::int32_t i = 0; i < std::abs(w.steps); ++i) {
      zwlr_virtual_pointer_v1_axis_source(d_.pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
      zwlr_virtual_pointer_v1_axis_discrete(d_.pointer, now_ms(), axis, wl_fixed_from_int(kWheelStepValue * direction),
                                            direction);
      zwlr_virtual_pointer_v1_frame(d_.pointer);
      pacing_.posted();
    }
    return std::monostate{};
  }
  Done run(const act::WheelVertical& a) { return wheel(true, a.lines); }
  Done run(const act::WheelHorizontal& a) { return wheel(false, a.lines); }

  Done run(const act::SleepMs& a) {
    c_.flush();
    constexpr std::uint64_t kMaxMs = 1000ull * 60 * 60 * 24 * 365;
    clock_.sleep(std::chrono::milliseconds(static_cast<std::int64_t>(std::min(a.milliseconds, kMaxMs))));
    return std::monostate{};
  }

  Connection& c_;
  Devices& d_;
  Clock& clock_;
  EventPacing& pacing_;
  std::vector<Output> outputs_;
};

class WlrInput final : public InputBackend {
 public:
  explicit WlrInput(Clock& clock) : clock_(clock) {
    session().on_reset.push_back([this] { devices_.reset(); });
  }
  Clock& clock() override { return clock_; }

  Expected<std::unique_ptr<InputSession>> open(EventPacing& pacing) override {
    Connection* c = session().connection();
    if (c == nullptr) {
      return make_error(
          "input_backend_unavailable: no connection could be established: (cannot reach the Wayland compositor)");
    }
    if (!devices_) {
      auto d = std::make_unique<Devices>();
      if (!d->keyboard.init()) return make_error("input_backend_unavailable: no keyboard map could be built");
      d->pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(c->pointer_manager(), c->seat());
      d->keyboard_proxy = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(c->keyboard_manager(), c->seat());
      const std::optional<std::string> keymap = d->keyboard.with_slots(Slots{});
      if (!keymap || !upload(*c, *d, *keymap)) {
        return make_error("input_backend_unavailable: no connection could be established: (the keyboard map was refused)");
      }
      d->keyboard.uploaded = true;
      devices_ = std::move(d);
    }
    // The outputs as they are now, and the new devices taken in.
    if (!c->roundtrip(deadline_from_now())) {
      session().reset();
      return make_error(
          "input_backend_unavailable: no connection could be established: (the Wayland compositor does not answer)");
    }
    if (!devices_->settled) {
      clock_.sleep(kNewKeyboardSettle);
      devices_->settled = true;
    }
    return std::unique_ptr<InputSession>(new WlrSession(*c, *devices_, clock_, pacing));
  }

 private:
  Clock& clock_;
  std::unique_ptr<Devices> devices_;
};

}  // namespace

std::unique_ptr<InputBackend> make_input(Clock& clock) { return std::make_unique<WlrInput>(clock); }

}  // namespace pelagon2::platform::wayland::wlr
