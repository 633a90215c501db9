// The X11 input session over an X11Keyboard: every decision of typing,
// borrowing key codes, Caps Lock, pointer moves and pacing.

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "core/utf8.h"
#include "platform/x11/x11_keyboard.h"

namespace pelagon2::platform::x11 {
namespace {

using Duration = Clock::Duration;
namespace act = platform::action;

Error failed(const std::string& what) { return make_error("simulating input failed: (" + what + ")"); }

Error lost() { return failed("the connection to the X display was lost"); }

// Columns of a borrowed key's row. The core protocol reads a one-keysym row
// of a cased keysym as (lower, upper), and XKB turns it into an alphabetic
// key that way too, so `Eacute` alone types é; the keysym in both columns
// makes a two-level key that gives exactly it unshifted, in every toolkit.
constexpr std::uint8_t kBorrowedRowWidth = 2;

constexpr std::uint32_t modifier_bit(int index) { return 1u << index; }

class Session final : public InputSession {
 public:
  Session(std::unique_ptr<X11Keyboard> keyboard, Clock& clock, EventPacing& pacing)
      : k_(std::move(keyboard)), clock_(clock), pacing_(pacing) {}

  ~Session() override { close(); }

  Done perform(const InputAction& action) override {
    // A pause sends nothing, so it cannot fail.
    if (const auto* pause = std::get_if<act::SleepMs>(&action)) return run(*pause);
    if (!k_->alive()) return lost();
    k_->clear_error();
    Done done = std::visit([this](const auto& a) { return run(a); }, action);
    // Waiting for the server both sends the events now and tells whether it
    // refused any of them.
    const SyncResult sync = sync_and_note();
    if (!done) return done;
    if (sync == SyncResult::lost) return lost();
    if (sync == SyncResult::refused) return failed("the X server refused the request");
    return done;
  }

  void release_held_keys() override {
    const std::vector<std::uint8_t> held = held_;
    for (const std::uint8_t keycode : held) key(keycode, false);
    held_.clear();
    if (k_->alive()) sync_and_note();
  }

  void close() override {
    if (borrowed_.empty()) return;
    if (k_->alive()) {
      std::vector<std::uint8_t> codes;
      for (const Borrowed& b : borrowed_) codes.push_back(b.keycode);
      wait_until_changeable(codes);
      std::sort(borrowed_.begin(), borrowed_.end(),
                [](const Borrowed& a, const Borrowed& b) { return a.keycode < b.keycode; });
      // Back as they were: keys that had no symbols in one XKB request, the
      // others one core request per run of adjacent key codes.
      std::vector<std::pair<std::uint8_t, KeySym>> emptied;
      for (const Borrowed& b : borrowed_) {
        if (empty_row(b.original)) emptied.emplace_back(b.keycode, kNoSymbol);
      }
      const bool batched = !emptied.empty() && k_->set_keys(emptied);
      if (batched) client_event(kClientMapBudget);
      for (std::size_t i = 0; i < borrowed_.size();) {
        if (batched && empty_row(borrowed_[i].original)) {
          ++i;
          continue;
        }
        std::size_t j = i + 1;
        while (j < borrowed_.size() && borrowed_[j].keycode == borrowed_[j - 1].keycode + 1 &&
               borrowed_[j].original.size() == borrowed_[i].original.size() &&
               !(batched && empty_row(borrowed_[j].original))) {
          ++j;
        }
        std::vector<KeySym> rows;
        for (std::size_t n = i; n < j; ++n)
          rows.insert(rows.end(), borrowed_[n].original.begin(), borrowed_[n].original.end());
        k_->remap(borrowed_[i].keycode, static_cast<std::uint8_t>(borrowed_[i].original.size()), rows);
        i = j;
      }
      k_->sync();
    }
    borrowed_.clear();
  }

 private:
  struct Borrowed {
    std::uint8_t keycode = 0;
    std::vector<KeySym> original;  // the row to put back
    KeySym current = kNoSymbol;
    bool pressed = false;      // pressed since it got `current`
    bool unprocessed = false;  // pressed since the last round trip
    Duration processed{0};     // when the server had processed its last press
    Duration decoded{0};       // when a busy application would have decoded it
  };

  // One more event for applications to take in.
  void client_event(Duration budget = kClientEventBudget) {
    client_ready_ = std::max(client_ready_, clock_.now()) + budget;
  }

  // ---- events ----

  // A key event; text is paced per chunk, every other key event on its own.
  void key(std::uint8_t keycode, bool down, bool paced = true) {
    if (!k_->alive()) return;
    k_->key(keycode, down);
    if (paced) pacing_.posted();
    client_event();
    if (Borrowed* b = borrowed_at(keycode)) {
      b->pressed = b->unprocessed = true;
      b->decoded = client_ready_;
    }
    if (down) {
      held_.push_back(keycode);
    } else {
      std::erase(held_, keycode);
    }
  }

  void tap(std::uint8_t keycode, bool paced = true) {
    key(keycode, true, paced);
    key(keycode, false, paced);
  }

  void button(unsigned number, bool down) {
    if (!k_->alive()) return;
    k_->button(static_cast<std::uint8_t>(number), down);
    pacing_.posted();
    client_event();
  }

  // A round trip; what was pressed before it has been processed from now on.
  SyncResult sync_and_note() {
    const SyncResult result = k_->sync();
    const Duration now = clock_.now();
    for (Borrowed& b : borrowed_) {
      if (b.unprocessed) {
        b.unprocessed = false;
        b.processed = now;
      }
    }
    return result;
  }

  // ---- the keyboard as it is now ----

  bool read_keyboard() {
    if (keyboard_) return true;
    std::optional<CoreKeyboardMap> core = k_->core_map();
    if (!core || core->min_keycode < 8 || core->min_keycode > core->max_keycode || core->keysyms_per_keycode <= 0) {
      return false;
    }
    const auto keys = static_cast<std::size_t>(core->max_keycode - core->min_keycode + 1);
    const auto per = static_cast<std::size_t>(core->keysyms_per_keycode);
    if (core->keysyms.size() != keys * per) return false;
    KeyboardState state;
    state.min_keycode = core->min_keycode;
    state.max_keycode = core->max_keycode;
    state.keysyms_per_keycode = core->keysyms_per_keycode;
    state.core = std::move(core->keysyms);
    state.produces.assign(keys, {});
    state.modifier_key.assign(keys, false);
    state.pressed.assign(keys, false);
    state.borrowed.assign(keys, false);

    // Which modifier each key sets; the first key of the Shift row selects
    // the shift level, the key of ISO_Level3_Shift the third level.
    std::vector<int> modifier_of(keys, -1);
    if (const std::optional<ModifierMap> modifiers = k_->modifier_map()) {
      const auto per_modifier = static_cast<std::size_t>(std::max(modifiers->keycodes_per_modifier, 0));
      for (std::size_t m = 0; m < 8; ++m) {
        for (std::size_t n = 0; n < per_modifier && m * per_modifier + n < modifiers->keycodes.size(); ++n) {
          const std::uint8_t code = modifiers->keycodes[m * per_modifier + n];
          if (code == 0 || !state.has(code)) continue;
          state.modifier_key[state.index(code)] = true;
          if (modifier_of[state.index(code)] < 0) modifier_of[state.index(code)] = static_cast<int>(m);
          if (m == kShiftMapIndex && !state.shift_keycode) state.shift_keycode = code;
        }
      }
    }
    std::uint32_t level3_mask = 0;
    if (const std::optional<std::uint8_t> level3 = key_for_keysym(state, kIsoLevel3Shift)) {
      const int m = modifier_of[state.index(*level3)];
      if (m > kShiftMapIndex && m != kLockMapIndex && m != kControlMapIndex) {
        state.level3_keycode = level3;
        level3_mask = modifier_bit(m);
      }
    }
    if (const std::optional<std::array<std::uint8_t, 32>> down = k_->pressed_keys()) {
      for (std::size_t i = 0; i < keys; ++i) {
        const std::size_t code = state.min_keycode + i;
        state.pressed[i] = ((*down)[code / 8] >> (code % 8)) & 1;
      }
    }
    fill_produced(state, level3_mask);
    keyboard_ = std::move(state);
    return true;
  }

  // What each key gives at each level in the current group and lock state,
  // decoded as an application decodes it.
  void fill_produced(KeyboardState& state, std::uint32_t level3_mask) {
    const std::optional<XkbLocks> xkb = k_->xkb_state();
    state.caps_locked = xkb && (xkb->locked_mods & kLockMask) != 0;
    const auto per = static_cast<std::size_t>(state.keysyms_per_keycode);
    for (std::size_t i = 0; i < state.produces.size(); ++i) {
      const auto keycode = static_cast<std::uint8_t>(state.min_keycode + i);
      for (unsigned level = 0; level < 4; ++level) {
        if (!state.level_usable(static_cast<Level>(level))) continue;
        KeySym keysym = kNoSymbol;
        if (xkb) {
          keysym = k_->xkb_key_sym(keycode, ((level & 1) ? kShiftMask : 0u) | ((level & 2) ? level3_mask : 0u));
        } else if (level < 2) {
          // Without XKB: the first group's two columns.
          keysym = state.core[i * per + std::min<std::size_t>(level, per - 1)];
          if (level == 1 && keysym == kNoSymbol) keysym = state.core[i * per];
        }
        state.produces[i][level] = {keysym, keysym == kNoSymbol ? char32_t{0} : k_->keysym_character(keysym)};
      }
    }
  }

  // ---- borrowed key codes ----

  static bool empty_row(const std::vector<KeySym>& row) {
    return std::all_of(row.begin(), row.end(), [](KeySym k) { return k == kNoSymbol; });
  }

  Borrowed* borrowed_at(std::uint8_t keycode) {
    for (Borrowed& b : borrowed_) {
      if (b.keycode == keycode) return &b;
    }
    return nullptr;
  }

  Borrowed* holding(KeySym keysym) {
    for (Borrowed& b : borrowed_) {
      if (b.current == keysym) return &b;
    }
    return nullptr;
  }

  // The key codes characters may be lent: every free one, else one key with
  // symbols as a last resort.
  const std::vector<std::uint8_t>& pool() {
    if (!pool_) {
      pool_ = spare_keycodes(*keyboard_, false);
      if (pool_->empty()) {
        const std::vector<std::uint8_t> any = spare_keycodes(*keyboard_, true);
        if (!any.empty()) {
          pool_->push_back(any.front());
          // Not typed with from now on: its characters will change.
          keyboard_->borrowed[keyboard_->index(any.front())] = true;
        }
      }
    }
    return *pool_;
  }

  // Waits until applications have decoded every press on `codes`: the
  // server has processed them (a round trip if needed), a busy application
  // has reached them, then the settle time.
  void wait_until_changeable(const std::vector<std::uint8_t>& codes) {
    bool any_pressed = false;
    bool any_unprocessed = false;
    for (const std::uint8_t code : codes) {
      if (const Borrowed* b = borrowed_at(code)) {
        any_pressed = any_pressed || b->pressed;
        any_unprocessed = any_unprocessed || b->unprocessed;
      }
    }
    if (!any_pressed) return;
    if (any_unprocessed) sync_and_note();
    Duration due{0};
    for (const std::uint8_t code : codes) {
      if (const Borrowed* b = borrowed_at(code); b && b->pressed) {
        due = std::max(due, std::max(b->processed, b->decoded) + kRemapSettle);
      }
    }
    const Duration now = clock_.now();
    if (due > now) clock_.sleep(due - now);
  }

  // Puts every keysym of `wanted` (at most the pool's size) on a borrowed key
  // code, changing the map in one request (one per run of adjacent codes
  // where XKB cannot be used).
  Done lend(const std::vector<KeySym>& wanted) {
    const std::vector<std::uint8_t>& spare = pool();
    if (spare.empty()) return failed("no key code is free to type the character");
    const std::set<KeySym> keep(wanted.begin(), wanted.end());
    std::vector<KeySym> missing;
    for (const KeySym keysym : wanted) {
      if (!holding(keysym)) missing.push_back(keysym);
    }
    if (missing.empty()) return std::monostate{};
    // Free codes first, then those whose character was typed longest ago.
    std::vector<std::uint8_t> candidates;
    for (const std::uint8_t code : spare) {
      if (!borrowed_at(code)) candidates.push_back(code);
    }
    std::vector<Borrowed*> used;
    for (Borrowed& b : borrowed_) {
      if (!keep.contains(b.current)) used.push_back(&b);
    }
    std::stable_sort(used.begin(), used.end(), [](const Borrowed* a, const Borrowed* b) {
      if (a->pressed != b->pressed) return !a->pressed;
      return a->processed < b->processed;
    });
    for (const Borrowed* b : used) candidates.push_back(b->keycode);
    if (candidates.size() < missing.size()) return failed("no key code is free to type the character");
    candidates.resize(missing.size());
    wait_until_changeable(candidates);

    std::vector<std::pair<std::uint8_t, KeySym>> changes;
    KeyboardState& state = *keyboard_;
    const auto per = static_cast<std::size_t>(state.keysyms_per_keycode);
    for (std::size_t n = 0; n < missing.size(); ++n) {
      const std::uint8_t code = candidates[n];
      Borrowed* b = borrowed_at(code);
      if (!b) {
        const std::size_t i = state.index(code);
        Borrowed fresh;
        fresh.keycode = code;
        fresh.original.assign(state.core.begin() + static_cast<std::ptrdiff_t>(i * per),
                              state.core.begin() + static_cast<std::ptrdiff_t>((i + 1) * per));
        state.borrowed[i] = true;
        borrowed_.push_back(std::move(fresh));
        b = &borrowed_.back();
      }
      b->current = missing[n];
      b->pressed = b->unprocessed = false;
      changes.emplace_back(code, missing[n]);
    }
    std::sort(changes.begin(), changes.end());
    // Keys that had no symbols take their characters in one XKB request, so
    // that applications and the window manager hear of the batch once.
    bool all_empty = true;
    for (const auto& change : changes) all_empty = all_empty && empty_row(borrowed_at(change.first)->original);
    if (all_empty && k_->set_keys(changes)) {
      client_event(kClientMapBudget);
      return std::monostate{};
    }
    for (std::size_t i = 0; i < changes.size();) {
      std::size_t j = i + 1;
      while (j < changes.size() && changes[j].first == changes[j - 1].first + 1) ++j;
      std::vector<KeySym> rows;
      for (std::size_t n = i; n < j; ++n) rows.insert(rows.end(), kBorrowedRowWidth, changes[n].second);
      k_->remap(changes[i].first, kBorrowedRowWidth, rows);
      client_event(kClientMapBudget);  // every client is told of the change and re-reads the map
      i = j;
    }
    return std::monostate{};
  }

  Expected<std::uint8_t> keycode_for(KeySym keysym) {
    if (!read_keyboard()) return failed("cannot read the keyboard map");
    if (const std::optional<std::uint8_t> code = key_for_keysym(*keyboard_, keysym)) return *code;
    if (Done done = lend({keysym}); !done) return std::move(done).take_error();
    return holding(keysym)->keycode;
  }

  // ---- actions ----

  Done run(const act::MouseMove& move) {
    const RootSize root = k_->root_size();
    const RootPoint to = clamp_to_root(move.x, move.y, root.width, root.height);
    k_->motion(to.x, to.y);
    pacing_.posted();
    k_->flush();
    wait_for_pointer_arrival(clock_, to.x, to.y, [this]() -> std::optional<PointerPosition> {
      if (!k_->alive()) return std::nullopt;
      return k_->pointer();
    });
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
    Expected<std::uint8_t> code = keycode_for(key_keysym(a.key));
    if (!code) return std::move(code).take_error();
    tap(*code);
    return std::monostate{};
  }

  // One character of a text: a key of the map at a level, or a keysym to lend a code.
  struct Stroke {
    std::optional<Keystroke> key;
    KeySym keysym = kNoSymbol;
  };

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
    pool();
    std::vector<Stroke> strokes;
    strokes.reserve(text.size());
    for (const char32_t c : text) strokes.push_back({find_keystroke(*keyboard_, c), *char_keysym(c)});

    Done done = type(strokes);
    // Caps Lock is left as it was found, whatever happened.
    set_caps_lifted(false);
    return done;
  }

  // A borrowed key gives its keysym unshifted, so a locked Caps Lock would
  // upper-case it: the lock is lifted while such keys are typed.
  void set_caps_lifted(bool lifted) {
    if (caps_lifted_ == lifted) return;
    if (k_->alive()) k_->lock_caps(!lifted);
    caps_lifted_ = lifted;
  }

  Done type(const std::vector<Stroke>& strokes) {
    const std::size_t room = std::max<std::size_t>(pool().size(), 1);
    std::size_t typed = 0;
    for (std::size_t i = 0; i < strokes.size();) {
      // The longest stretch from here whose borrowed characters all fit the
      // spare codes at once: one remapping, then all of it typed.
      std::vector<KeySym> wanted;
      std::size_t end = i;
      for (; end < strokes.size(); ++end) {
        if (strokes[end].key) continue;
        const KeySym keysym = strokes[end].keysym;
        if (std::find(wanted.begin(), wanted.end(), keysym) != wanted.end()) continue;
        if (wanted.size() == room) break;
        wanted.push_back(keysym);
      }
      if (!wanted.empty()) {
        if (Done done = lend(wanted); !done) return done;
      }
      for (; i < end; ++i) {
        if (!k_->alive()) return lost();
        const Stroke& s = strokes[i];
        if (s.key) {
          set_caps_lifted(false);
          const auto level = static_cast<unsigned>(s.key->level);
          if (level & 1) key(*keyboard_->shift_keycode, true, false);
          if (level & 2) key(*keyboard_->level3_keycode, true, false);
          tap(s.key->keycode, false);
          if (level & 2) key(*keyboard_->level3_keycode, false, false);
          if (level & 1) key(*keyboard_->shift_keycode, false, false);
        } else {
          if (keyboard_->caps_locked && case_changes(s.keysym)) set_caps_lifted(true);
          tap(holding(s.keysym)->keycode, false);
        }
        if (++typed % kTextChunk == 0) pacing_.posted();
      }
    }
    if (typed % kTextChunk != 0) pacing_.posted();
    return std::monostate{};
  }

  Done wheel(bool vertical, std::int32_t lines) {
    const WheelClicks clicks = wheel_clicks(vertical, lines);
    for (std::uint32_t i = 0; i < clicks.count && k_->alive(); ++i) {
      button(clicks.button, true);
      button(clicks.button, false);
    }
    return std::monostate{};
  }
  Done run(const act::WheelVertical& a) { return wheel(true, a.lines); }
  Done run(const act::WheelHorizontal& a) { return wheel(false, a.lines); }

  Done run(const act::SleepMs& a) {
    k_->flush();
    constexpr std::uint64_t kMaxMs = 1000ull * 60 * 60 * 24 * 365;
    clock_.sleep(std::chrono::milliseconds(static_cast<std::int64_t>(std::min(a.milliseconds, kMaxMs))));
    return std::monostate{};
  }

  std::unique_ptr<X11Keyboard> k_;
  Clock& clock_;
  EventPacing& pacing_;
  std::optional<KeyboardState> keyboard_;
  std::optional<std::vector<std::uint8_t>> pool_;
  std::vector<Borrowed> borrowed_;
  std::vector<std::uint8_t> held_;
  bool caps_lifted_ = false;
  Duration client_ready_{0};  // when a busy application would have taken in every event so far
};

class Backend final : public InputBackend {
 public:
  Backend(OpenKeyboard open, Clock& clock) : open_(std::move(open)), clock_(clock) {}
  Clock& clock() override { return clock_; }

  Expected<std::unique_ptr<InputSession>> open(EventPacing& pacing) override {
    Expected<std::unique_ptr<X11Keyboard>> keyboard = open_();
    if (!keyboard) return std::move(keyboard).take_error();
    return std::unique_ptr<InputSession>(new Session(std::move(*keyboard), clock_, pacing));
  }

 private:
  OpenKeyboard open_;
  Clock& clock_;
};

}  // namespace

std::unique_ptr<InputBackend> make_input_backend(OpenKeyboard open, Clock& clock) {
  return std::make_unique<Backend>(std::move(open), clock);
}

}  // namespace pelagon2::platform::x11
