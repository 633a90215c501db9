#pragma once
// X11 input synthesis over a thin keyboard seam. The session model
// (x11_keyboard_model.cc) decides everything: which key and level type a
// character, which spare key codes are borrowed and when they may change
// again, the Caps Lock handling, pointer clamping and pacing. An X11Keyboard
// only sends and converts: the XCB one (x11_input.cc) speaks to the server,
// the tests' fake records what an application would decode.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/x11/x11_input_model.h"

namespace pelagon2::platform::x11 {

// How long a borrowed key code keeps its character after the server has
// processed the last key event that used it. Applications re-read the keyboard
// map when the MappingNotify of the borrowing reaches them, which can be after
// our events were processed; changing the map back too early makes them read
// the restored map and see the wrong character.
inline constexpr std::chrono::milliseconds kRemapSettle{50};

// How long an application may take for each event it is sent (a key event,
// a button, the notice of a keyboard map change) when it is busy: events it
// has not reached yet queue up, and it decodes a borrowed key code from the
// map as it is when it gets there. A borrowed code changes only once such an
// application would have decoded its last press, and the settle time after.
inline constexpr std::chrono::milliseconds kClientEventBudget{3};
// The same for the notice of a keyboard map change, on which applications
// fetch and compile the new map, and a window manager may re-grab its key
// bindings: under metacity xterm decoded keys typed 20 ms per notice after
// the change from the map as it was by then (all of them wrong), 40 ms later
// mostly from the right one. A batch of borrowed codes is one notice, so the
// margin above that is cheap.
inline constexpr std::chrono::milliseconds kClientMapBudget{100};

// Characters of one TypeText counted as one paced event, as on macOS: the
// pending wait grows per chunk, not per key event.
inline constexpr std::size_t kTextChunk = 20;

// Core modifier bits.
inline constexpr std::uint32_t kShiftMask = 1u << 0;
inline constexpr std::uint32_t kLockMask = 1u << 1;
inline constexpr std::uint32_t kControlMask = 1u << 2;
inline constexpr int kShiftMapIndex = 0;
inline constexpr int kLockMapIndex = 1;
inline constexpr int kControlMapIndex = 2;

struct CoreKeyboardMap {
  std::uint8_t min_keycode = 8;
  std::uint8_t max_keycode = 255;
  int keysyms_per_keycode = 0;
  std::vector<KeySym> keysyms;  // keysyms_per_keycode per key code from min_keycode on
};

// The modifier map: eight rows (Shift, Lock, Control, Mod1…Mod5) of
// `keycodes_per_modifier` key codes, 0 for an unused slot.
struct ModifierMap {
  int keycodes_per_modifier = 0;
  std::vector<std::uint8_t> keycodes;
};

// The XKB state keys are translated in: locked modifiers and the effective group.
struct XkbLocks {
  std::uint8_t locked_mods = 0;
  std::uint32_t group = 0;
};

struct RootSize {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

enum class SyncResult : std::uint8_t { ok, refused, lost };

// One request's connection to the X server. Sending calls are queued and
// report nothing; their errors surface at the next sync(). Calls never throw.
class X11Keyboard {
 public:
  virtual ~X11Keyboard() = default;

  // False once the connection is broken or stalled.
  virtual bool alive() = 0;
  // Starts collecting errors of the requests sent from now on.
  virtual void clear_error() = 0;
  // Sends what is queued and waits until the server has processed all of it.
  virtual SyncResult sync() = 0;
  // Sends what is queued without waiting.
  virtual void flush() = 0;

  // XTest: a key press or release, a pointer button, an absolute motion on
  // the root window (the protocol carries 16-bit coordinates).
  virtual void key(std::uint8_t keycode, bool down) = 0;
  virtual void button(std::uint8_t button, bool down) = 0;
  virtual void motion(std::int16_t x, std::int16_t y) = 0;
  // ChangeKeyboardMapping of rows.size() / keysyms_per_keycode key codes from `first`.
  virtual void remap(std::uint8_t first, std::uint8_t keysyms_per_keycode, const std::vector<KeySym>& rows) = 0;
  // Gives each listed key code a two-level key with its keysym at both
  // levels (no symbols for kNoSymbol) in one XKB request, which leaves the
  // key codes between them exactly as they are, so clients hear of the whole
  // batch once. False, and nothing sent, without XKB (after xkb_state()).
  virtual bool set_keys(const std::vector<std::pair<std::uint8_t, KeySym>>& keys) = 0;
  // Locks or unlocks the Lock modifier of the core keyboard (XKB).
  virtual void lock_caps(bool locked) = 0;

  // The keyboard as it is now; nullopt when the server gave no answer.
  virtual std::optional<CoreKeyboardMap> core_map() = 0;
  virtual std::optional<ModifierMap> modifier_map() = 0;
  // QueryKeymap: bit k of byte k / 8 is set while key code k is down.
  virtual std::optional<std::array<std::uint8_t, 32>> pressed_keys() = 0;
  // Reads the XKB keymap and state for xkb_key_sym(); nullopt without XKB.
  virtual std::optional<XkbLocks> xkb_state() = 0;
  // The keysym `keycode` gives, as an XKB client decodes it, with core
  // modifiers `mods` held on top of the state xkb_state() read (Caps Lock's
  // capitalisation included); 0 for none.
  virtual KeySym xkb_key_sym(std::uint8_t keycode, std::uint32_t mods) = 0;
  // The character a keysym stands for; 0 for none.
  virtual char32_t keysym_character(KeySym keysym) = 0;

  virtual std::optional<PointerPosition> pointer() = 0;
  virtual RootSize root_size() = 0;
};

// The X11 input backend over keyboards made by `open`, one per request; it
// returns the "input_backend_unavailable: …" error when none can be made.
using OpenKeyboard = std::function<Expected<std::unique_ptr<X11Keyboard>>()>;
std::unique_ptr<InputBackend> make_input_backend(OpenKeyboard open, Clock& clock);

}  // namespace pelagon2::platform::x11
