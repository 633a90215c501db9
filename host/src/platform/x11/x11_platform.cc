// The X11 backend: each service below replaces the display-less answer of the
// same service.
#include "platform/no_screen.h"
#include "platform/x11/x11_screen.h"

namespace pelagon2::platform {

std::unique_ptr<Platform> create_platform() {
  std::unique_ptr<Platform> platform = create_no_screen_platform();
  platform->displays = x11::make_displays();
  platform->capture = x11::make_screen_capture();
  return platform;
}

}  // namespace pelagon2::platform
