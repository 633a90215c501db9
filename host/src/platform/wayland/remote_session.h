#pragma once
// One remote-desktop session with its screen-cast streams, as mutter's own
// services (org.gnome.Mutter.RemoteDesktop + ScreenCast) or the desktop portal
// offer it. The GNOME and portal routes build the same platform services on
// this interface; only how a session is started and addressed differs.
//
// Every call has a deadline; a failure carries the service's own description
// (the caller adds "capture_failed: " or "simulating input failed: (…)").

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/outcome.h"
#include "platform/wayland/wayland_model.h"

namespace pelagon2::platform::wayland::gnome {

// One screen-cast stream of a started session: a monitor, its PipeWire node
// and where it lies in the compositor's logical layout.
struct CastStream {
  std::uint32_t node = 0;
  std::string handle;  // what input addresses: mutter's stream object path, or the node as text (portal)
  Output output;       // logical rectangle; pixel size 0 until the first frame says it
};

class RemoteSession {
 public:
  virtual ~RemoteSession() = default;
  // The started session's streams, one per monitor it records.
  virtual const std::vector<CastStream>& streams() const = 0;
  // The PipeWire remote to read the streams from: a descriptor the caller
  // takes over (the portal's), or -1 for the user's own PipeWire daemon.
  virtual int take_pipewire_fd() = 0;
  // What the user granted (mutter grants both; the portal what the dialog allowed).
  virtual bool screen_granted() const = 0;
  virtual bool input_granted() const = 0;
  // False once the compositor closed the session or its bus connection is gone.
  virtual bool alive() = 0;

  // Pointer: absolute motion in `stream`'s logical coordinates, evdev buttons
  // (BTN_LEFT …), wheel steps (axis 0 vertical, 1 horizontal).
  virtual Done pointer_motion(const CastStream& stream, double x, double y) = 0;
  virtual Done pointer_button(std::int32_t evdev_button, bool pressed) = 0;
  virtual Done pointer_axis_discrete(std::uint32_t axis, std::int32_t steps) = 0;
  // Keyboard by keysym (the compositor finds key and level in its keymap, and
  // drops keysyms it lacks) or by evdev key code.
  virtual Done keyboard_keysym(std::uint32_t keysym, bool pressed) = 0;
  virtual Done keyboard_keycode(std::uint32_t evdev_key, bool pressed) = 0;

  // Clipboard, for text the keymap lacks: false when the session has none
  // (the portal's remote desktop version 1).
  virtual bool has_clipboard() const = 0;
  // The clipboard's current text (nullopt: empty or not text).
  virtual Expected<std::optional<std::string>> read_clipboard() = 0;
  // Offers `text` as the clipboard's content, answering the compositor's
  // transfer requests from then on, until the next offer or clear.
  virtual Done offer_clipboard(const std::string& text) = 0;
  // Serves pending transfer requests for up to `milliseconds` (the paste reads
  // the offer while the caller waits here).
  virtual void serve_clipboard(int milliseconds) = 0;
};

}  // namespace pelagon2::platform::wayland::gnome
