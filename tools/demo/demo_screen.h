#pragma once
// Which screen the demo works on: the user's own (X11: DISPLAY set and
// reachable; macOS), else a private Xvfb that the demo starts and stops.

#include <string>

#include "tools/demo/demo_children.h"

namespace pelagon2::demo {

struct DemoScreen {
  bool own = false;             // the user's screen: ask before using it
  std::string private_display;  // ":N" of our Xvfb, or empty
  Child xvfb;                   // pid -1 unless we started one
};

// Picks the screen and prints which; `private_screen` never takes the
// user's, and without a window of ours a private screen has nothing to show.
DemoScreen choose_screen(const std::string& host_path, bool private_screen, bool have_window);

}  // namespace pelagon2::demo
