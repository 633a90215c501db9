#pragma once
// The host's window on the operating system: small interfaces that answer with
// plain records and never decide anything. The rules built on these answers
// (which display to capture, which window is the browser's, how rows are
// repacked, click counting, …) live in the modules and in the `*_model` files,
// so scripted fakes reach all of them.
//
// One backend is linked per build (macos/, x11/, headless/); each defines
// create_platform() once. main() creates the platform once and hands it to
// every request; a backend keeps no screen content or display configuration
// between requests (reusable memory, such as a shared-memory segment, is fine).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/outcome.h"
#include "platform/input_action.h"
#include "platform/input_timing.h"

namespace pelagon2::platform {

// ---- Displays -------------------------------------------------------------

// One active display as the platform reports it, before any conversion.
struct DisplayRecord {
  std::uint32_t id = 0;
  // Bounds in global points: origin at the main display's top-left, y down.
  double x = 0, y = 0, width = 0, height = 0;
  // Pixel width of the display's current mode; 0 when there is no mode.
  std::uint64_t mode_pixel_width = 0;
  bool is_main = false;
};

// One entry of the platform's screen list (the source of display names), in
// the platform's order. `number` is absent when the entry carries no display
// number (the name walk stops there).
struct ScreenRecord {
  std::optional<std::uint32_t> number;
  std::string name;  // UTF-8
};

class Displays {
 public:
  virtual ~Displays() = default;
  // The active displays in the platform's order, or display_list_error(code)
  // when the list cannot be read. No screen at all is an empty list, not an
  // error. Records are as reported: bounds in points, unconverted; the caller
  // keeps the first 16 and computes scales, the target display and names.
  virtual Expected<std::vector<DisplayRecord>> active_displays() = 0;
  // The screens whose numbers name the displays, in the platform's order,
  // every entry as found (the caller's walk decides what a missing number means).
  virtual std::vector<ScreenRecord> screens() = 0;
  // Backing scale of the main screen when one can be asked for (fallback of
  // the desktop scale query); nullopt when there is no main screen or it may
  // not be asked from the calling thread.
  virtual std::optional<double> main_screen_scale() = 0;
};

// Error text of a failed display list query, `code` being the platform's
// non-zero error value.
inline Error display_list_error(std::int32_t code) {
  return make_error("CGGetActiveDisplayList failed: CGError(" + std::to_string(code) + ")");
}

// ---- Screen capture -------------------------------------------------------

enum class PixelOrder : std::uint8_t {
  bgra,  // blue, green, red, alpha as delivered
  bgrx,  // blue, green, red, undefined byte (alpha is set to 255)
};

// Pixels of one capture, borrowed from the backend: valid until the next
// capture call on the same ScreenCapture or its destruction.
struct RawCapture {
  std::span<const std::uint8_t> bytes;  // empty when the platform gave no data
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::size_t bytes_per_row = 0;
  PixelOrder order = PixelOrder::bgra;
};

class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;
  // Screen Recording gate: may the process capture (never prompts)?
  virtual bool preflight_access() = 0;
  // Asks the system for access (prompts the first time); true only when
  // granted. Called by the capture routine on every attempt that preflight
  // refused.
  virtual bool request_access() = 0;
  // False where capturing needs no permission (X11): the capture routine then
  // skips the gate, so a capture without a screen fails for want of a
  // display, not of a permission nobody could grant.
  virtual bool access_gated() { return true; }
  // Everything visible in `display`'s bounds (one record of the current
  // active_displays()) at its native pixel resolution, as delivered: rows may
  // be padded (bytes_per_row), pixels bgra or bgrx. No checks or conversions:
  // the caller rejects short data and repacks. On failure the reason without
  // a code word (the caller reports "capture_failed: {reason}"); empty bytes
  // when an image came back without data.
  virtual Expected<RawCapture> capture(const DisplayRecord& display) = 0;
};

// ---- Windows --------------------------------------------------------------

// One on-screen window, as the window list reports it. Absent members mean
// the entry lacks them or they are not numbers (the walk's rules decide).
struct WindowRecord {
  std::optional<std::int64_t> owner_pid;
  std::optional<std::int64_t> layer;  // 0 for normal application windows
  enum class BoundsState : std::uint8_t { ok, missing, not_a_dictionary, unreadable };
  BoundsState bounds_state = BoundsState::ok;
  double x = 0, y = 0, width = 0, height = 0;  // outer frame in global points
};

class WindowList {
 public:
  virtual ~WindowList() = default;
  // Process ids of every running browser instance, in browser-list order.
  virtual std::vector<std::int32_t> browser_pids() = 0;
  // On-screen windows, front to back; nullopt when no list is returned.
  virtual std::optional<std::vector<WindowRecord>> front_to_back() = 0;
};

// ---- Permissions and settings ---------------------------------------------

class Permissions {
 public:
  virtual ~Permissions() = default;
  virtual bool accessibility_trusted() = 0;  // no prompt
  virtual bool request_accessibility() = 0;  // may show the system prompt
  // Screen Recording checks are ScreenCapture::preflight_access/request_access.
};

class SettingsOpener {
 public:
  virtual ~SettingsOpener() = default;
  // Starts the settings application on `address` without waiting for it; an
  // error with the operating system's description alone (the caller adds the
  // code word) when it cannot be started.
  virtual Done open(const std::string& address) = 0;
};

// ---- Input ----------------------------------------------------------------

// One request's way to the system's input: created for a non-empty action
// list and discarded after it. The driver in the input module runs the
// actions in order, names a failing action, and on every exit calls
// release_held_keys(), sleeps the pacing wait, then close().
class InputSession {
 public:
  virtual ~InputSession() = default;
  // Performs one action. The error is the backend's own text
  // ("simulating input failed: (…)"); the driver adds the action.
  virtual Done perform(const InputAction& action) = 0;
  // Releases, with key-up events, every key this session pressed and has not
  // released, in press order; failures are ignored.
  virtual void release_held_keys() = 0;
  // Undoes temporary changes to the system (a borrowed key mapping); runs after
  // the pacing wait.
  virtual void close() {}
};

class InputBackend {
 public:
  virtual ~InputBackend() = default;
  // The clock of every wait the backend and the driver make.
  virtual Clock& clock() = 0;
  // Connects for one request; "input_backend_unavailable: …" when input cannot
  // be sent. The session tells `pacing` of every event it posts; `pacing`
  // outlives the session.
  virtual Expected<std::unique_ptr<InputSession>> open(EventPacing& pacing) = 0;
};

// ---- Text recognition -----------------------------------------------------

// The picture to read: the caller's encoded bytes as supplied (a PNG file) and
// the same picture decoded to packed 8-bit RGB, rows top to bottom. A
// recognizer uses whichever form its engine takes.
struct RecognitionImage {
  std::span<const std::uint8_t> encoded;
  std::span<const std::uint8_t> rgb;  // width * height * 3 bytes
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// One recognised line of text, as the recognizer reports it.
struct RecognizedLine {
  // The best candidate string (UTF-8); nullopt when the recognizer offered none.
  std::optional<std::string> text;
  // Bounding box normalised to 0..1 of the image's size, origin at the
  // bottom-left corner, y growing upwards.
  double x = 0, y = 0, width = 0, height = 0;
};

class Recognizer {
 public:
  virtual ~Recognizer() = default;
  // The text lines of `image` in the recognizer's order, read at its accurate
  // level with language correction. `language` limits recognition to that one
  // identifier, passed on as given; nullopt leaves the default languages. The
  // error is the recognizer's own description of the failure.
  virtual Expected<std::vector<RecognizedLine>> recognize(const RecognitionImage& image,
                                                          const std::optional<std::string>& language) = 0;
  // The language identifiers the accurate level supports, in the recognizer's order.
  virtual Expected<std::vector<std::string>> languages() = 0;
};

// ---- The whole platform ---------------------------------------------------

struct Platform {
  std::unique_ptr<Displays> displays;
  std::unique_ptr<ScreenCapture> capture;
  std::unique_ptr<WindowList> windows;
  std::unique_ptr<Permissions> permissions;
  std::unique_ptr<SettingsOpener> settings;
  std::unique_ptr<InputBackend> input;
  std::unique_ptr<Recognizer> recognizer;
  // Called before each request is handled, for backends whose waits are
  // bounded per request; may be empty.
  std::function<void()> request_started;
};

// Defined once by the backend linked into this build.
std::unique_ptr<Platform> create_platform();

}  // namespace pelagon2::platform
