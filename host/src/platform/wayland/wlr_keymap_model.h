#pragma once
// The keymap the wlroots route uploads for its virtual keyboard: a full US
// layout, with characters it cannot type put on the keys F13…F24 (evdev
// codes every toolkit and browser knows). These are the decisions: which
// characters of a text need such a slot, which slot each gets, where a text
// with more than twelve of them is split into runs (a new upload before
// each), and the keymap text with the slots filled in. Portable: the keymap's
// contents come from the caller (xkbcommon compiles it there).

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wayland/wayland_input_model.h"

namespace pelagon2::platform::wayland {

using KeySym = std::uint32_t;

inline constexpr std::size_t kSlotCount = 12;
// What the slots hold; 0 is a slot left as the base keymap has it.
using Slots = std::array<KeySym, kSlotCount>;

inline EvdevCode slot_code(std::size_t slot) { return kKeyF13 + static_cast<EvdevCode>(slot); }

// One stretch of a text typed under one keymap: characters [begin, end) of
// it, with `slots` uploaded first when `upload` (they differ from what the
// keyboard has then).
struct SlotRun {
  std::size_t begin = 0;
  std::size_t end = 0;
  Slots slots{};
  bool upload = false;
  friend bool operator==(const SlotRun&, const SlotRun&) = default;
};

// `keysyms[i]` types character i; `in_base(keysym)` says whether the base
// keymap has a key for it. A slot keeps what `current` holds while that is
// still wanted, so a text whose characters are on the keyboard already needs
// no upload; new characters take free slots first, then those whose
// characters this run does not need. Runs are as long as twelve slots allow.
// An empty text gives no run.
std::vector<SlotRun> plan_slots(const std::vector<KeySym>& keysyms, const std::function<bool(KeySym)>& in_base,
                                const Slots& current);

// `base` (a keymap as xkbcommon writes it, text v1) with each non-zero slot
// made a one-level key giving its keysym; the keys' former definitions in
// the symbols section are dropped. Empty when `base` has no symbols section.
std::string keymap_with_slots(std::string_view base, const Slots& slots);

}  // namespace pelagon2::platform::wayland
