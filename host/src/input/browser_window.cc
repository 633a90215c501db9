#include "input/browser_window.h"

#include <optional>

#include "screen/browser_window.h"

namespace pelagon2::input {

Outcome get_active_browser_outer_rect(const Json& /*params*/, platform::Platform& platform) {
  const std::optional<screen::WindowRect> rect = screen::browser_window_rect(*platform.windows);
  if (!rect) return Json(nullptr);
  return Json{{"height", rect->height}, {"width", rect->width}, {"x", rect->x}, {"y", rect->y}};
}

}  // namespace pelagon2::input
