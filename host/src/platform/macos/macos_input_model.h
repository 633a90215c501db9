#pragma once
// Input synthesis on macOS, decided here and carried out by a thin event sink.
//
// The model owns every number that matters: event types, fields and flags,
// virtual key codes, click counting, text chunking, the pointer-arrival wait
// and which keyboard layout is asked. The sink (implemented in Objective-C++)
// only creates and posts the events it is handed and answers a few questions
// about the system. Everything here is portable and tested with a fake sink.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace pelagon2::platform::macos {

// CGEventType values used.
inline constexpr std::uint32_t kLeftMouseDown = 1;
inline constexpr std::uint32_t kLeftMouseUp = 2;
inline constexpr std::uint32_t kRightMouseDown = 3;
inline constexpr std::uint32_t kRightMouseUp = 4;
inline constexpr std::uint32_t kMouseMoved = 5;
inline constexpr std::uint32_t kLeftMouseDragged = 6;
inline constexpr std::uint32_t kRightMouseDragged = 7;
inline constexpr std::uint32_t kOtherMouseDown = 25;
inline constexpr std::uint32_t kOtherMouseUp = 26;

// CGEventField numbers used.
inline constexpr std::uint32_t kFieldClickState = 1;    // kCGMouseEventClickState
inline constexpr std::uint32_t kFieldButtonNumber = 3;  // kCGMouseEventButtonNumber
inline constexpr std::uint32_t kFieldDeltaX = 4;        // kCGMouseEventDeltaX
inline constexpr std::uint32_t kFieldDeltaY = 5;        // kCGMouseEventDeltaY
inline constexpr std::uint32_t kFieldUserData = 42;     // kCGEventSourceUserData

// Written into every event so our own events can be told apart.
inline constexpr std::int64_t kUserData = 100;
// The tracked modifier flags before any key is pressed.
inline constexpr std::uint64_t kInitialFlags = 0x20000100;

// Modifier-state values under which a character key is looked up.
inline constexpr std::uint32_t kPlainModifierState = 256;
inline constexpr std::uint32_t kShiftModifierState = 131330;

// One event, fully described. The sink creates it with the event source of
// the request, then sets each of `fields` in order (CGEventSetIntegerValueField),
// sets `unicode` when present (CGEventKeyboardSetUnicodeString, UTF-16),
// sets `flags` (CGEventSetFlags) and posts it at the HID event tap
// (CGEventPost with tap 0).
struct MacEvent {
  enum class Kind : std::uint8_t {
    mouse,     // CGEventCreateMouseEvent(source, mouse_type, {x, y}, mouse_button)
    keyboard,  // CGEventCreateKeyboardEvent(source, key_code, key_down)
    scroll,    // CGEventCreateScrollWheelEvent2(source, line units (1), wheel_count, wheel1, wheel2, wheel3)
  };
  Kind kind = Kind::mouse;

  std::uint32_t mouse_type = 0;
  double x = 0;  // global top-left coordinates, points
  double y = 0;
  std::uint32_t mouse_button = 0;

  std::uint16_t key_code = 0;
  bool key_down = false;
  std::optional<std::u16string> unicode;

  std::uint32_t wheel_count = 0;
  std::int32_t wheel1 = 0;
  std::int32_t wheel2 = 0;
  std::int32_t wheel3 = 0;

  std::vector<std::pair<std::uint32_t, std::int64_t>> fields;
  std::uint64_t flags = 0;

  friend bool operator==(const MacEvent&, const MacEvent&) = default;
};

// Input sources a character key's code is looked up in, in the order tried.
enum class KeyboardLayoutSource : std::uint8_t {
  current_keyboard,              // TISCopyCurrentKeyboardInputSource
  current_keyboard_layout,       // TISCopyCurrentKeyboardLayoutInputSource
  current_ascii_capable_layout,  // TISCopyCurrentASCIICapableKeyboardLayoutInputSource
};

struct MacPoint {
  double x = 0;
  double y = 0;
};

// The operating system as the model needs it. One sink is created per
// request (by the factory given to make_input_backend) and destroyed at its
// end; it holds the request's event source and selected layout. Calls never
// throw.
class MacEventSink {
 public:
  virtual ~MacEventSink() = default;

  // AXIsProcessTrustedWithOptions with kAXTrustedCheckOptionPrompt = true.
  virtual bool accessibility_trusted_prompting() = 0;
  // NSEvent.doubleClickInterval, seconds.
  virtual double double_click_interval() = 0;
  // CGEventSourceCreate(kCGEventSourceStateCombinedSessionState), kept for
  // every later post; false when nothing was created.
  virtual bool create_event_source() = 0;
  // CGMainDisplayID().
  virtual std::uint32_t main_display_id() = 0;
  // CGDisplayPixelsHigh(display).
  virtual std::uint64_t display_pixels_high(std::uint32_t display) = 0;
  // NSEvent.mouseLocation: origin at the bottom left of the main display, y up.
  virtual MacPoint mouse_location() = 0;
  // NSEvent.pressedMouseButtons: bit 0 left, bit 1 right, …
  virtual std::uint64_t pressed_mouse_buttons() = 0;

  // Creates and posts `event` as described at MacEvent. False when the create
  // call returned nothing (then nothing is posted).
  virtual bool post(const MacEvent& event) = 0;

  // Makes `source`'s Unicode key-layout data (kTISPropertyUnicodeKeyLayoutData)
  // the layout of translate_key. False when the source or its data is missing.
  virtual bool select_keyboard_layout(KeyboardLayoutSource source) = 0;
  // UCKeyTranslate with the selected layout, `key_code`, the display key action
  // (kUCKeyActionDisplay, 3), `modifier_state`, LMGetKbdType(), no options, a
  // fresh dead-key state and room for one UTF-16 unit. nullopt when the call
  // fails; otherwise the units produced (at most one).
  virtual std::optional<std::u16string> translate_key(std::uint16_t key_code, std::uint32_t modifier_state) = 0;
};

// The input backend of the macOS platform. `make_sink` makes the sink of one
// request; every wait runs on `clock`. The macOS create_platform() installs it
// as `platform->input = macos::make_input_backend([] { return <new sink>; },
// system_clock());`.
std::unique_ptr<InputBackend> make_input_backend(std::function<std::unique_ptr<MacEventSink>()> make_sink,
                                                 Clock& clock);

// ---- Tables (exposed for tests) -------------------------------------------

// Virtual key code of a modifier.
std::uint16_t modifier_key_code(Modifier modifier);
// Virtual key code of a key with a fixed code (all but Digit, Letter, Comma,
// Period, Semicolon and Minus, which depend on the keyboard layout).
std::optional<std::uint16_t> fixed_key_code(const Key& key);
// The character a layout-dependent key stands for ('0'…'9', 'a'…'z', ',', '.', ';', '-').
std::optional<char16_t> key_character(const Key& key);
// Bits of the tracked flags held while `key_code` is down.
std::uint64_t flag_bits(std::uint16_t key_code);

}  // namespace pelagon2::platform::macos
