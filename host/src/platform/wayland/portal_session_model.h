#pragma once
// The desktop portal route's decisions that need no bus: what a Start answer
// grants, which calls carry the restore token, when the dialog is shown, and
// where the token is kept between host processes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/outcome.h"
#include "platform/wayland/wayland_model.h"

namespace pelagon2::platform::wayland::portal {

// Device bits of SelectDevices' `types` and Start's `devices`.
inline constexpr std::uint32_t kKeyboard = 1;
inline constexpr std::uint32_t kPointer = 2;
// Source bit of SelectSources' `types`.
inline constexpr std::uint32_t kMonitor = 1;
// Cursor mode bit: the pointer is not drawn into the frames (as on X11 and mutter's route).
inline constexpr std::uint32_t kCursorHidden = 1;
// persist_mode: kept until the user revokes it.
inline constexpr std::uint32_t kPersistUntilRevoked = 2;

// How a portal Request ended (the Response signal's code).
enum class Answer : std::uint8_t {
  granted,    // 0
  cancelled,  // 1: the user dismissed the dialog
  ended,      // 2: ended some other way (refused by the backend, dialog closed)
  unknown,    // anything else
};
Answer answer_of(std::uint32_t code);
// A dialog answer that is the user's (or the desktop's) "no" rather than a fault.
inline bool is_refusal(Answer a) { return a == Answer::cancelled || a == Answer::ended; }

// One stream of Start's `streams`: (u node, {position (ii), size (ii), source_type u, id s}).
struct StreamEntry {
  std::uint32_t node = 0;
  std::optional<std::int32_t> x, y;
  std::optional<std::int32_t> width, height;
  std::optional<std::uint32_t> source_type;
};

// What Start's results say, as read off the bus.
struct StartResults {
  std::optional<std::uint32_t> devices;
  std::vector<StreamEntry> streams;
  std::optional<std::string> restore_token;
};

// What the session may do.
struct Grant {
  bool screen = false;
  bool input = false;  // pointer and keyboard both: the host's actions use both
  // One per monitor stream, in the portal's order; id = node. The portal gives
  // logical sizes only: the pixel size is taken to be the same (scale 1) until
  // the stream's frames say otherwise, so a scale is never 0.
  std::vector<Output> outputs;
};

// The grant a successful Start gives. Streams that are not monitors or have no
// size are left out (nothing could address them); a missing position is 0,0.
Grant grant_of(const StartResults& results);

// The versions of org.freedesktop.portal.RemoteDesktop and ScreenCast.
struct Versions {
  std::uint32_t remote_desktop = 0;
  std::uint32_t screen_cast = 0;
  std::uint32_t cursor_modes = 0;  // ScreenCast's AvailableCursorModes
};

// A remote-desktop session's persistence is asked for in SelectDevices, which
// takes persist_mode and restore_token from RemoteDesktop version 2 on
// (ScreenCast 4's own pair is for screen-cast-only sessions).
bool devices_take_restore_token(const Versions& v);
// cursor_mode is offered from ScreenCast version 2, when the portal lists it.
bool sources_take_hidden_cursor(const Versions& v);

// The D-Bus sender name as a Request path element (":1.24" -> "1_24").
std::string request_path_element(std::string_view unique_name);
// The object path a Request with `token` gets.
std::string request_path(std::string_view unique_name, std::string_view token);

// How the last start of this host process ended.
enum class LastStart : std::uint8_t { never, started, refused, failed };
// Whether a call that may show the dialog shows it now: not while a started
// session lives, and not after the user's refusal (the answer stands for the
// host process, as on systems that ask once); again after a fault, an
// unanswered dialog or a session the desktop closed.
bool may_show_dialog(LastStart last, bool session_alive);

// The restore token file: $XDG_STATE_HOME/pelagon2/portal-restore-token, or
// $HOME/.local/state/… when XDG_STATE_HOME is unset, empty or relative (the
// base-directory rules ignore relative values); nullopt without an absolute
// home. Either argument may be null.
std::optional<std::string> token_file_path(const char* xdg_state_home, const char* home);

// A token as kept in the file, when it looks like one the portal hands out:
// printable ASCII without spaces, at most 256 bytes; trailing newline ignored.
std::optional<std::string> parse_token_file(std::string_view content);

// Reads the kept token (nullopt when there is none or it is not a token).
std::optional<std::string> read_token(const std::string& path);
// Writes `token` atomically (a 0600 file beside it, renamed over it), making
// the folder (0700) when missing. The error names the step that failed.
Done write_token(const std::string& path, const std::string& token);

}  // namespace pelagon2::platform::wayland::portal
