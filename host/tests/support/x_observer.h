#pragma once
// A test's own connection to its X server, to see what the window manager and
// the clients did: window properties, and the frames windows have on the root.
// Include gtest before this header: Xlib's macros break its headers otherwise.

#include <X11/Xlib.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"

namespace pelagon2::testing {

// Polls `done` until it holds or `timeout` passes; its last answer.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

inline Json rect(long x, long y, long w, long h) { return Json{{"height", h}, {"width", w}, {"x", x}, {"y", y}}; }

class XObserver {
 public:
  explicit XObserver(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
  ~XObserver() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  XObserver(const XObserver&) = delete;
  XObserver& operator=(const XObserver&) = delete;

  bool ok() const { return display_ != nullptr; }
  Display* display() const { return display_; }

  // The 32-bit values of a property of `window`; empty when it has none.
  std::vector<unsigned long> property_values(unsigned long window, const char* property) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(display_, window, XInternAtom(display_, property, False), 0, 4096, False, AnyPropertyType,
                           &type, &format, &count, &after, &data) == Success &&
        data != nullptr && format == 32) {
      const auto* values = reinterpret_cast<const unsigned long*>(data);
      out.assign(values, values + count);
    }
    if (data != nullptr) XFree(data);
    return out;
  }

  std::vector<unsigned long> root_windows(const char* property) {
    return property_values(DefaultRootWindow(display_), property);
  }

  bool has_property(unsigned long window, const char* property) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int rc = XGetWindowProperty(display_, window, XInternAtom(display_, property, False), 0, 16, False,
                                      AnyPropertyType, &type, &format, &count, &after, &data);
    if (data != nullptr) XFree(data);
    return rc == Success && type != 0 && count > 0;
  }

  // Managed: listed by the window manager, with its decorations announced.
  bool managed(unsigned long window) {
    XSync(display_, False);
    const std::vector<unsigned long> clients = root_windows("_NET_CLIENT_LIST_STACKING");
    return std::find(clients.begin(), clients.end(), window) != clients.end() &&
           has_property(window, "_NET_FRAME_EXTENTS");
  }

  // The rectangle the top-level window holding `window` covers on the root,
  // border included; null when the window is gone.
  Json frame_of(unsigned long window) {
    Window current = window;
    for (;;) {
      Window root = 0, parent = 0;
      Window* children = nullptr;
      unsigned int count = 0;
      if (!XQueryTree(display_, current, &root, &parent, &children, &count)) return Json();
      if (children != nullptr) XFree(children);
      if (parent == root) break;
      current = parent;
    }
    XWindowAttributes a;
    if (!XGetWindowAttributes(display_, current, &a)) return Json();
    return rect(a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width);
  }

  // Frame of the topmost managed window whose _NET_WM_PID is `pid`; null
  // when there is none.
  Json frame_of_process(pid_t pid) {
    XSync(display_, False);
    const std::vector<unsigned long> clients = root_windows("_NET_CLIENT_LIST_STACKING");
    for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
      const std::vector<unsigned long> owner = property_values(*it, "_NET_WM_PID");
      if (owner.size() == 1 && owner[0] == static_cast<unsigned long>(pid)) return frame_of(*it);
    }
    return Json();
  }

  // A window manager's first moments may drop the windows mapped meanwhile;
  // it has taken over once it manages a window of ours.
  bool manager_running(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const Window probe = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 10, 10, 0, 0, 0);
      XMapWindow(display_, probe);
      const bool is_managed = wait_until(
          [&] {
            const std::vector<unsigned long> clients = root_windows("_NET_CLIENT_LIST");
            return std::find(clients.begin(), clients.end(), probe) != clients.end();
          },
          std::chrono::milliseconds(700));
      XDestroyWindow(display_, probe);
      XSync(display_, False);
      if (is_managed) return true;
    }
    return false;
  }

 private:
  Display* display_;
};

}  // namespace pelagon2::testing
