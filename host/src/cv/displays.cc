#include "cv/displays.h"

#include <cstdint>
#include <vector>

#include "screen/displays.h"
#include "vision_core/rounding.h"

namespace pelagon2::cv {
namespace {

using screen::DisplayGeometry;
using vision_core::round_to;

Json display_object(const platform::DisplayRecord& display, const std::vector<platform::ScreenRecord>& screens) {
  const DisplayGeometry g = screen::display_geometry(display);
  return Json{{"dpi", finite_or_null(96.0 * g.scale)},
              {"height", g.height},
              {"id", display.id},
              {"isPrimary", display.is_main},
              {"name", screen::display_name(display.id, screens)},
              {"physicalHeight", round_to<std::uint32_t>(static_cast<double>(g.height) * g.scale)},
              {"physicalWidth", round_to<std::uint32_t>(static_cast<double>(g.width) * g.scale)},
              {"scaleFactor", finite_or_null(g.scale)},
              {"width", g.width},
              {"x", g.x},
              {"y", g.y}};
}

}  // namespace

Outcome get_display_list(const Json& /*params*/, platform::Platform& platform) {
  const Expected<std::vector<platform::DisplayRecord>> list = screen::active_display_list(platform);
  if (!list) return make_error("display_list_failed: " + list.error());
  Json reply = Json::array();
  if (list->empty()) return reply;
  const std::vector<platform::ScreenRecord> screens = platform.displays->screens();
  for (const platform::DisplayRecord& display : *list) reply.push_back(display_object(display, screens));
  return reply;
}

Outcome get_desktop_dpi(const Json& /*params*/, platform::Platform& platform) {
  const Json dpi = finite_or_null(96.0 * screen::desktop_scale(platform));
  return Json{{"dpiX", dpi}, {"dpiY", dpi}};
}

}  // namespace pelagon2::cv
