// The X11 backend: each service below replaces the display-less answer of the
// same service.
#include "platform/no_screen.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_displays.h"
#include "platform/x11/x11_permissions.h"
#include "platform/x11/x11_windows.h"
#include "platform/x11/x11_input.h"
#include "platform/tesseract/tesseract_loader.h"
#ifdef PELAGON2_WAYLAND_LIBRARY
#include "platform/wayland/wayland_loader.h"
#endif

namespace pelagon2::platform {

std::unique_ptr<Platform> create_platform() {
  std::unique_ptr<Platform> platform = create_no_screen_platform();
  platform->displays = x11::make_displays();
  platform->capture = x11::make_screen_capture();
  platform->windows = x11::make_window_list();
  platform->permissions = x11::make_permissions();
  platform->input = x11::make_input();
  platform->recognizer = tess::make_lazy_recognizer();
  platform->request_started = x11::begin_request;
#ifdef PELAGON2_WAYLAND_LIBRARY
  // A Wayland session's own services, where a route serves it; XWayland
  // clients alone would leave the desktop's native windows out of reach.
  wayland::adopt_wayland_services(*platform);
#endif
  return platform;
}

}  // namespace pelagon2::platform
