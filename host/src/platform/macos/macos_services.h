#pragma once
// The macOS services, one factory per Objective-C++ file; create_platform()
// puts them in place of the display-less answers.

#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform::macos {

class MacEventSink;

std::unique_ptr<Displays> make_displays();
std::unique_ptr<ScreenCapture> make_screen_capture();
std::unique_ptr<WindowList> make_window_list();
std::unique_ptr<Permissions> make_permissions();
// The sink of one input request; the input model makes one per request.
std::unique_ptr<MacEventSink> make_event_sink();
std::unique_ptr<Recognizer> make_recognizer();

}  // namespace pelagon2::platform::macos
