#pragma once
// The GNOME route's decisions that need no compositor: monitors from mutter's
// display state, where a global point lands in a monitor's stream, which parts
// of a text are typed by keysym and which are pasted, and whether a held frame
// shows what the backend's last input did.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/wayland/wayland_model.h"

namespace pelagon2::platform::wayland::gnome {

// org.gnome.Mutter.DisplayConfig.GetCurrentState, reduced to what the display
// list needs: each monitor's connector and current mode, each logical monitor's
// position, scale, primary flag and connectors.
struct MonitorMode {
  std::string connector;
  std::int32_t width = 0, height = 0;  // pixels of the current mode; 0 when the monitor has none
};
struct LogicalMonitor {
  std::int32_t x = 0, y = 0;
  double scale = 1;
  std::uint32_t transform = 0;  // 1, 3, 5, 7 rotate by 90° or 270°
  bool primary = false;
  std::vector<std::string> connectors;
};
// The state's "layout-mode" property: 1 logical (positions in points, sizes
// are pixels / scale), 2 physical (positions and sizes in pixels).
enum class LayoutMode : std::uint32_t { logical = 1, physical = 2 };

// One Output per logical monitor with a current mode (its first connector
// names it), in the state's order, ids 1, 2, … in that order. The layout
// rectangle is the compositor's own coordinate space, which is what input and
// the streams are addressed in.
std::vector<Output> outputs_from_state(const std::vector<MonitorMode>& monitors,
                                       const std::vector<LogicalMonitor>& logical, LayoutMode mode);

// Where the global point (x, y) lies in the stream of `output`, whose frames
// are `stream_width` x `stream_height` pixels (0: not known yet, the output's
// pixel size is taken, else its logical size): clamped into the stream.
struct StreamPoint {
  double x = 0, y = 0;
  friend bool operator==(const StreamPoint&, const StreamPoint&) = default;
};
StreamPoint stream_point(const Output& output, std::uint32_t stream_width, std::uint32_t stream_height, double x,
                         double y);

// A text split into runs: characters the keymap has are typed as keysyms, the
// rest pasted through the clipboard. A lone typeable character between two
// pasted runs joins the paste (one paste instead of three steps); line breaks
// and tabs are always typed, as Return and Tab.
struct TextRun {
  bool paste = false;
  std::u32string text;
  friend bool operator==(const TextRun&, const TextRun&) = default;
};
std::vector<TextRun> plan_text(const std::u32string& text, const std::function<bool(char32_t)>& typeable);

// Characters typed by keysym on mutter's default keymap (US): printable ASCII,
// line feed, carriage return and tab. Other keysyms are dropped by mutter when
// no key of its keymap has them.
bool us_typeable(char32_t c);

// Fresh pixels: after input the backend posted at `input_at`, a capture takes
// the newest frame once one arrived after the input and no other followed
// within `kFrameQuietNs` (a caret blink or the first of several redraws may
// come before the input's own), and at `input_at + kFrameSettleNs` at the
// latest (frames come only on damage: input that changed nothing brings
// none). Without input since the stream started, the newest frame is the
// screen. Times in nanoseconds of one monotonic clock.
struct Freshness {
  std::int64_t input_at = 0;  // 0: no input since the stream started
  std::int64_t frame_at = 0;  // arrival of the newest held frame; 0: none yet
};
// A loaded machine's compositor may take a few hundred milliseconds to show a
// change; a wait that ends early at the input's own frame costs nothing then.
// On a loaded machine GTK drew a typed key more than 30 ms after a frame of
// something else (a caret blink).
inline constexpr std::int64_t kFrameSettleNs = 400'000'000;
inline constexpr std::int64_t kFrameQuietNs = 80'000'000;
// What a capture at `now` does: take the newest frame, or wait (for a new
// frame or) until `until`.
struct FrameWait {
  bool take_now = false;
  std::int64_t until = 0;
  friend bool operator==(const FrameWait&, const FrameWait&) = default;
};
FrameWait frame_wait(const Freshness& f, std::int64_t now, std::int64_t first_frame_deadline);

}  // namespace pelagon2::platform::wayland::gnome
