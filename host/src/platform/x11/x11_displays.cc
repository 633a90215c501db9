#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <optional>
#include <vector>

#include "platform/x11/xlib_connection.h"
#include "platform/x11/x11_screen.h"
#include "platform/x11/x11_screen_model.h"

namespace pelagon2::platform::x11 {
namespace {

// The server's monitors in its order, named when `with_names` (a round trip
// per monitor); nullopt when RandR 1.5 is missing or the query failed, so the
// root stands in for them.
std::optional<std::vector<MonitorInfo>> query_monitors(XConnection& connection, bool with_names) {
  Display* display = connection.display();
  int event_base = 0, error_base = 0, major = 0, minor = 0;
  if (!XRRQueryExtension(display, &event_base, &error_base)) return std::nullopt;
  if (!XRRQueryVersion(display, &major, &minor) || major < 1 || (major == 1 && minor < 5)) return std::nullopt;

  connection.clear_error();
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, connection.root(), True, &count);
  if (monitors == nullptr || connection.sync_failed()) {
    if (monitors != nullptr) XRRFreeMonitors(monitors);
    return std::nullopt;
  }
  std::vector<MonitorInfo> out;
  out.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const XRRMonitorInfo& m = monitors[i];
    MonitorInfo info;
    info.name_atom = static_cast<std::uint32_t>(m.name);
    if (char* name = with_names && m.name != None ? XGetAtomName(display, m.name) : nullptr) {
      info.name = name;
      XFree(name);
    }
    info.x = m.x;
    info.y = m.y;
    info.width = m.width;
    info.height = m.height;
    info.primary = m.primary != 0;
    if (m.noutput > 0 && m.outputs != nullptr) info.first_output = static_cast<std::uint32_t>(m.outputs[0]);
    out.push_back(std::move(info));
  }
  XRRFreeMonitors(monitors);
  // An atom name that failed to arrive leaves an empty name; a lost server
  // leaves nothing to trust.
  if (!connection.alive()) return std::nullopt;
  return out;
}

class X11Displays final : public Displays {
 public:
  Expected<std::vector<DisplayRecord>> active_displays() override {
    const std::unique_ptr<XConnection> connection = XConnection::open();
    if (!connection) return std::vector<DisplayRecord>{};
    const std::optional<std::vector<MonitorInfo>> monitors = query_monitors(*connection, false);
    if (monitors && !monitors->empty()) return displays_from_monitors(*monitors);
    // A server that went away has no screen left to describe.
    if (!connection->alive()) return std::vector<DisplayRecord>{};
    Display* display = connection->display();
    const int screen = DefaultScreen(display);
    return std::vector<DisplayRecord>{root_display(static_cast<std::uint32_t>(connection->root()),
                                                   static_cast<std::uint32_t>(DisplayWidth(display, screen)),
                                                   static_cast<std::uint32_t>(DisplayHeight(display, screen)))};
  }

  std::vector<ScreenRecord> screens() override {
    const std::unique_ptr<XConnection> connection = XConnection::open();
    if (!connection) return {};
    const std::optional<std::vector<MonitorInfo>> monitors = query_monitors(*connection, true);
    if (!monitors) return {};
    return screens_from_monitors(*monitors);
  }

  // Every X screen is drawn at one pixel per point.
  std::optional<double> main_screen_scale() override {
    if (!XConnection::open()) return std::nullopt;
    return 1.0;
  }
};

}  // namespace

std::unique_ptr<Displays> make_displays() { return std::make_unique<X11Displays>(); }

}  // namespace pelagon2::platform::x11
