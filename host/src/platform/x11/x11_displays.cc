#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <optional>
#include <vector>

#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_displays.h"
#include "platform/x11/x11_screen_model.h"

namespace pelagon2::platform::x11 {
namespace {

// The server's monitors in its order, each clipped to the root and those off
// it left out, named when `with_names`; nullopt when RandR 1.5 is missing or
// the query failed, so the root stands in for them.
std::optional<std::vector<MonitorInfo>> query_monitors(XConnection& connection, bool with_names) {
  xcb_connection_t* c = connection.get();
  if (connection.extension(xcb_randr_id) == nullptr) return std::nullopt;
  // Both in one round trip; a server older than 1.5 answers the monitor
  // request with an error, and its answer is not used.
  const unsigned int version_sequence =
      xcb_randr_query_version(c, XCB_RANDR_MAJOR_VERSION, XCB_RANDR_MINOR_VERSION).sequence;
  const unsigned int monitors_sequence = xcb_randr_get_monitors(c, connection.root(), 1).sequence;
  const Reply<xcb_randr_query_version_reply_t> version =
      connection.reply<xcb_randr_query_version_reply_t>(version_sequence);
  const Reply<xcb_randr_get_monitors_reply_t> monitors =
      connection.reply<xcb_randr_get_monitors_reply_t>(monitors_sequence);
  if (!version || version->major_version < 1 || (version->major_version == 1 && version->minor_version < 5)) {
    return std::nullopt;
  }
  if (!monitors) return std::nullopt;

  std::vector<MonitorInfo> out;
  out.reserve(static_cast<std::size_t>(xcb_randr_get_monitors_monitors_length(monitors.get())));
  for (xcb_randr_monitor_info_iterator_t it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t& m = *it.data;
    MonitorInfo info;
    info.name_atom = m.name;
    info.x = m.x;
    info.y = m.y;
    info.width = m.width;
    info.height = m.height;
    info.primary = m.primary != 0;
    if (xcb_randr_monitor_info_outputs_length(it.data) > 0) info.first_output = xcb_randr_monitor_info_outputs(it.data)[0];
    out.push_back(std::move(info));
  }
  const xcb_screen_t& screen = connection.screen();
  out = monitors_on_root(out, screen.width_in_pixels, screen.height_in_pixels);

  if (with_names) {
    // All the name requests go out before the first answer is awaited.
    std::vector<unsigned int> sequences;
    sequences.reserve(out.size());
    for (const MonitorInfo& m : out) {
      sequences.push_back(m.name_atom != XCB_ATOM_NONE ? xcb_get_atom_name(c, m.name_atom).sequence : 0);
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (sequences[i] == 0) continue;
      // A name that fails to arrive stays empty.
      const Reply<xcb_get_atom_name_reply_t> name = connection.reply<xcb_get_atom_name_reply_t>(sequences[i]);
      if (name) {
        out[i].name.assign(xcb_get_atom_name_name(name.get()),
                           static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get())));
      }
    }
  }
  // A lost server leaves nothing to trust.
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
    const xcb_screen_t& screen = connection->screen();
    return std::vector<DisplayRecord>{root_display(connection->root(), screen.width_in_pixels, screen.height_in_pixels)};
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
