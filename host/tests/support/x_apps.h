#pragma once
// Real applications on a private X server, for typing tests: a window
// manager of choice, xterm in UTF-8 mode whose terminal copies the bytes of
// every key it reads, untouched, into a file, and a GTK or Qt text field that
// writes its text to a file. Each is started with the test's display and
// stopped by its pid.
//
// Include <gtest/gtest.h> before this header (Xlib's macros break gtest).

#include <X11/Xlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/x_clients.h"
#include "support/x_observer.h"

namespace pelagon2::testing {

// The window manager `name` ("openbox", "metacity"), or none for "".
inline std::unique_ptr<Program> start_window_manager(const std::string& name, const std::string& display,
                                                     const std::string& home) {
  if (name.empty()) return nullptr;
  return std::make_unique<Program>(window_manager_command(name), window_manager_environment(display, home));
}

// Gives `window` the keyboard focus, as a click would; true once it has it.
inline bool focus_window(Display* d, unsigned long window) {
  // The window may go unviewable between the check and the request (a
  // window manager reparenting it); Xlib's default handler would exit.
  XSync(d, False);
  const XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  const bool has_focus = wait_until(
      [&] {
        Window focused = 0;
        int revert = 0;
        XGetInputFocus(d, &focused, &revert);
        if (focused == window) return true;
        // A window manager maps the window in its frame a moment after the
        // application asks; focus goes only to a viewable window.
        XWindowAttributes a{};
        if (XGetWindowAttributes(d, window, &a) && a.map_state == IsViewable) {
          XSetInputFocus(d, window, RevertToParent, CurrentTime);
        }
        XSync(d, False);
        return false;
      },
      std::chrono::seconds(10));
  XSetErrorHandler(previous);
  return has_focus;
}

// Reads the window id an application writes to `path` once it shows; 0 when
// none comes in time.
inline unsigned long wait_for_window_id(const std::string& path) {
  unsigned long window = 0;
  wait_until(
      [&] {
        std::ifstream in(path);
        in >> window;
        return window != 0;
      },
      std::chrono::seconds(20));
  return window;
}

// The whole of a file, empty when it is missing.
inline std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// xterm in UTF-8 mode running a raw, echo-less `cat` into a file: the file
// holds exactly the bytes the terminal made of the keys it got.
class XtermCat {
 public:
  XtermCat(const std::string& display, const std::string& dir)
      : id_file_(dir + "/xterm.window"), out_file_(dir + "/xterm.out") {
    std::filesystem::remove(id_file_);
    std::filesystem::remove(out_file_);
    // The window id is written once the terminal is raw, so nothing typed
    // after it shows is cooked or echoed.
    const std::string script = "stty raw -echo && echo $WINDOWID > '" + id_file_ + ".new' && mv '" + id_file_ +
                               ".new' '" + id_file_ + "' && exec cat > '" + out_file_ + "'";
    program_ = std::make_unique<Program>(
        std::vector<std::string>{"xterm", "-u8", "-fa", "DejaVu Sans Mono", "-geometry", "80x24+0+0", "-e", "sh", "-c",
                                 script},
        std::vector<std::string>{"DISPLAY=" + display, "LANG=C.UTF-8", "LC_ALL=C.UTF-8"});
    window_ = wait_for_window_id(id_file_);
  }

  bool ready() const { return program_->started() && window_ != 0; }
  unsigned long window() const { return window_; }

  // Gives the terminal the keyboard focus, as a click would; true once it has it.
  bool focus(Display* d) { return focus_window(d, window_); }

  // The whole file so far.
  std::string output() const { return file_text(out_file_); }

 private:
  std::string id_file_;
  std::string out_file_;
  std::unique_ptr<Program> program_;
  unsigned long window_ = 0;
};

// A one-line text field of a real toolkit (GTK 3 or Qt 5, through their
// Python bindings), which writes its whole text to a file on every change.
class ToolkitEntry {
 public:
  // `script`: one of the programs in tests/x11/apps.
  ToolkitEntry(const std::string& script, const std::string& display, const std::string& dir)
      : id_file_(dir + "/entry.window"), out_file_(dir + "/entry.out") {
    std::filesystem::remove(id_file_);
    std::filesystem::remove(out_file_);
    program_ = std::make_unique<Program>(
        std::vector<std::string>{"/usr/bin/python3", script, out_file_, id_file_},
        std::vector<std::string>{"DISPLAY=" + display, "GDK_BACKEND=x11", "QT_QPA_PLATFORM=xcb", "LANG=C.UTF-8",
                                 "LC_ALL=C.UTF-8", "HOME=" + dir, "XDG_RUNTIME_DIR=" + dir, "NO_AT_BRIDGE=1"});
    window_ = wait_for_window_id(id_file_);
  }

  bool ready() const { return program_->started() && window_ != 0; }
  bool focus(Display* d) { return focus_window(d, window_); }
  std::string text() const { return file_text(out_file_); }

 private:
  std::string id_file_;
  std::string out_file_;
  std::unique_ptr<Program> program_;
  unsigned long window_ = 0;
};

}  // namespace pelagon2::testing
