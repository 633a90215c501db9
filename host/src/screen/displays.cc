#include "screen/displays.h"

#include <algorithm>
#include <optional>

#include "screen/browser_window.h"
#include "vision_core/rounding.h"

namespace pelagon2::screen {
namespace {

using vision_core::saturate_to;

// Area shared by a display and the window; 0 when they do not overlap.
std::int64_t overlap_area(const DisplayGeometry& display, const WindowRect& window) {
  // 64-bit edges: x + width can leave the 32-bit range on either side.
  const std::int64_t left = std::max<std::int64_t>(display.x, window.x);
  const std::int64_t right =
      std::min(std::int64_t{display.x} + display.width, std::int64_t{window.x} + window.width);
  const std::int64_t top = std::max<std::int64_t>(display.y, window.y);
  const std::int64_t bottom =
      std::min(std::int64_t{display.y} + display.height, std::int64_t{window.y} + window.height);
  if (right <= left || bottom <= top) return 0;
  return (right - left) * (bottom - top);
}

}  // namespace

DisplayGeometry display_geometry(const platform::DisplayRecord& display) {
  DisplayGeometry g;
  g.x = saturate_to<std::int32_t>(display.x);
  g.y = saturate_to<std::int32_t>(display.y);
  // Negative sizes saturate to 0 like every other out-of-range value.
  g.width = saturate_to<std::uint32_t>(display.width);
  g.height = saturate_to<std::uint32_t>(display.height);
  g.scale = static_cast<double>(static_cast<float>(display.mode_pixel_width) / static_cast<float>(g.width));
  return g;
}

Expected<std::vector<platform::DisplayRecord>> active_display_list(platform::Platform& platform) {
  Expected<std::vector<platform::DisplayRecord>> list = platform.displays->active_displays();
  if (list && list->size() > kMaxDisplays) list->resize(kMaxDisplays);
  return list;
}

Expected<TargetDisplay> choose_target_display(platform::Platform& platform) {
  Expected<std::vector<platform::DisplayRecord>> list = active_display_list(platform);
  if (!list) return make_error("capture_failed: " + list.error());
  if (list->empty()) return make_error("capture_failed: no monitors");

  std::vector<DisplayGeometry> geometry;
  geometry.reserve(list->size());
  for (const platform::DisplayRecord& display : *list) geometry.push_back(display_geometry(display));

  std::optional<std::size_t> chosen;
  if (const std::optional<WindowRect> window = browser_window_rect(*platform.windows)) {
    std::int64_t best_area = 0;
    std::size_t best = 0;
    for (std::size_t i = 0; i < geometry.size(); ++i) {
      const std::int64_t area = overlap_area(geometry[i], *window);
      if (area >= best_area) {  // equal areas: the later display wins
        best_area = area;
        best = i;
      }
    }
    if (best_area > 0) chosen = best;
  }
  if (!chosen) {
    const auto main = std::find_if(list->begin(), list->end(), [](const auto& d) { return d.is_main; });
    chosen = main == list->end() ? 0 : static_cast<std::size_t>(main - list->begin());
  }

  const DisplayGeometry& g = geometry[*chosen];
  TargetDisplay target;
  target.display = (*list)[*chosen];
  target.id = target.display.id;
  target.x = g.x;
  target.y = g.y;
  target.scale = g.scale;
  return target;
}

double desktop_scale(platform::Platform& platform) {
  const Expected<TargetDisplay> target = choose_target_display(platform);
  if (target) return target->scale;
  return platform.displays->main_screen_scale().value_or(1.0);
}

std::string display_name(std::uint32_t id, const std::vector<platform::ScreenRecord>& screens) {
  for (const platform::ScreenRecord& screen : screens) {
    if (!screen.number) break;
    if (*screen.number == id) return screen.name;
  }
  return "Unknown Monitor " + std::to_string(id);
}

}  // namespace pelagon2::screen
