#pragma once
// The X11 window list's decisions, apart from the server connection so they
// are tested on every machine: which processes are browsers, and what a
// top-level window's facts make of it in the window list.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace pelagon2::platform::x11 {

// Executable names of the browsers, in the order browser_pids reports them.
inline constexpr std::string_view kBrowserExecutables[] = {
    "chrome", "chromium", "chromium-browser", "google-chrome", "firefox",
    "firefox-esr", "msedge", "microsoft-edge", "brave", "brave-browser"};

// Where a process name was read: the executable's path, or the kernel's
// command name (cut to 15 bytes, and changeable by the process itself).
enum class NameSource : std::uint8_t { executable, command };

// Index in kBrowserExecutables of the browser `name` names, if any.
std::optional<std::size_t> browser_index(std::string_view name, NameSource source);

// The name of process `pid` under `proc_root` (normally "/proc"): the base
// name of its executable, else its command name; nothing for a process that
// is gone.
struct ProcessName {
  std::string name;
  NameSource source = NameSource::executable;
};
std::optional<ProcessName> process_name(const std::string& proc_root, std::int64_t pid);

// Every running browser process: by browser-list order, then by pid.
std::vector<std::int32_t> browser_pids_in(const std::string& proc_root);

// What the server tells about one top-level window.
struct WindowFacts {
  std::optional<std::int64_t> owner_pid;
  bool viewable = false;           // mapped, and every ancestor too
  bool override_redirect = false;  // menus, tooltips, popups
  bool input_only = false;         // no pixels at all
  enum class Type : std::uint8_t { unset, normal, other } type = Type::unset;
  bool transient = false;  // WM_TRANSIENT_FOR set: a dialog of another window
  // Inside of the window in root coordinates, and its border.
  std::int64_t x = 0, y = 0;
  std::uint32_t width = 0, height = 0, border = 0;
  // _NET_FRAME_EXTENTS: decorations the window manager adds around it.
  struct Extents {
    std::uint32_t left = 0, right = 0, top = 0, bottom = 0;
  };
  std::optional<Extents> frame;
};

// Layer given to windows that are not normal application windows.
inline constexpr std::int64_t kOtherLayer = 1;

// The window list entry of a top-level window, or nothing when it does not
// belong in an on-screen list: unmapped, or of an owner no pid is known for
// (a remote client: never one of this machine's browsers).
std::optional<WindowRecord> window_record(const WindowFacts& facts);

}  // namespace pelagon2::platform::x11
