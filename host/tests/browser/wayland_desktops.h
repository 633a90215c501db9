#pragma once
// The headless compositors the Wayland browser tests and benches run a
// browser on, behind one face: what the browser and its hosts need in their
// environment, and (sway only) where a process's window is and how to move it.

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "support/gnome_session.h"
#include "support/sway_session.h"

namespace pelagon2::testing {

enum class WaylandDesktopKind { kSway, kMutter };

class WaylandDesktop {
 public:
  virtual ~WaylandDesktop() = default;
  // Empty, or why this compositor cannot run here (a program not installed).
  virtual std::string missing() const = 0;
  // Starts the compositor and what it needs; false with error() otherwise.
  virtual bool start() = 0;
  virtual std::string error() const = 0;
  // The socket's name in the runtime folder.
  virtual std::string wayland_display() const = 0;
  // The runtime folder, bus and compositor sockets, as "NAME=value".
  virtual std::vector<std::string> environment() const = 0;
  // A folder of the test's own for files.
  virtual std::string folder() const = 0;
  // The window of `pid` as {height, width, x, y}, or null where the
  // compositor does not tell.
  virtual Json window_rect(pid_t /*pid*/) { return nullptr; }
  // Floats the window of `pid` at `rect`; false where the compositor cannot.
  virtual bool place_window(pid_t /*pid*/, const Json& /*rect*/) { return false; }
};

inline Json rect_json(long x, long y, long w, long h) {
  return Json{{"height", h}, {"width", w}, {"x", x}, {"y", y}};
}

// A session's client variables less those the browser session sets itself
// (its own home and display) and those that lead to another display.
inline std::vector<std::string> browser_environment(const std::vector<std::string>& session) {
  std::vector<std::string> out;
  for (const std::string& entry : session) {
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "HOME" || name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "GDK_BACKEND" ||
        (name.starts_with("XDG_") && name.ends_with("_HOME")))
      continue;
    out.push_back(entry);
  }
  return out;
}

class SwayDesktop : public WaylandDesktop {
 public:
  std::string missing() const override { return SwaySession::available() ? "" : "sway or setpriv is not installed"; }
  bool start() override {
    sway_ = std::make_unique<SwaySession>();
    return sway_->ready();
  }
  std::string error() const override { return "sway did not start"; }
  std::string wayland_display() const override { return sway_->wayland_display(); }
  std::vector<std::string> environment() const override { return browser_environment(sway_->client_env()); }
  std::string folder() const override { return files_.path(); }

  // The view of `pid` in sway's tree: its rect is the window's, in the
  // layout's coordinates (logical points).
  Json window_rect(pid_t pid) override {
    const Json tree = Json::parse(sway_->swaymsg({"-r", "-t", "get_tree"}), nullptr, false);
    const Json* view = find_view(tree, pid);
    return view != nullptr ? (*view)["rect"] : Json(nullptr);
  }
  bool place_window(pid_t pid, const Json& rect) override {
    const std::string reply = sway_->swaymsg(
        {"[pid=" + std::to_string(pid) + "] floating enable, resize set width " + rect["width"].dump() +
         " px height " + rect["height"].dump() + " px, move absolute position " + rect["x"].dump() + " " +
         rect["y"].dump()});
    return reply.find("\"success\": false") == std::string::npos && reply.find("true") != std::string::npos;
  }

  SwaySession& session() { return *sway_; }

 private:
  static const Json* find_view(const Json& node, pid_t pid) {
    if (!node.is_object()) return nullptr;
    if (node.value("pid", -1) == pid) return &node;
    for (const char* list : {"nodes", "floating_nodes"}) {
      if (!node.contains(list)) continue;
      for (const Json& child : node[list]) {
        if (const Json* found = find_view(child, pid)) return found;
      }
    }
    return nullptr;
  }

  TempTree files_;
  std::unique_ptr<SwaySession> sway_;
};

class MutterDesktop : public WaylandDesktop {
 public:
  std::string missing() const override {
    for (const char* program : {"mutter", "pipewire", "wireplumber", "dbus-daemon", "pw-cli", "gdbus"})
      if (!have_program(program)) return std::string(program) + " is not installed";
    return {};
  }
  bool start() override {
    gnome_ = std::make_unique<GnomeSession>();
    return gnome_->ready();
  }
  std::string error() const override { return gnome_ ? gnome_->why() + "\n" + gnome_->log() : "not started"; }
  std::string wayland_display() const override { return gnome_->wayland_display(); }
  std::vector<std::string> environment() const override { return browser_environment(gnome_->env()); }
  std::string folder() const override { return files_.path(); }

  GnomeSession& session() { return *gnome_; }

 private:
  TempTree files_;
  std::unique_ptr<GnomeSession> gnome_;
};

inline std::unique_ptr<WaylandDesktop> make_wayland_desktop(WaylandDesktopKind kind) {
  if (kind == WaylandDesktopKind::kSway) return std::make_unique<SwayDesktop>();
  return std::make_unique<MutterDesktop>();
}

}  // namespace pelagon2::testing
