#include "platform/wayland/gnome_model.h"

#include <algorithm>

namespace pelagon2::platform::wayland::gnome {

std::vector<Output> outputs_from_state(const std::vector<MonitorMode>& monitors,
                                       const std::vector<LogicalMonitor>& logical, LayoutMode mode) {
  std::vector<Output> outputs;
  for (const LogicalMonitor& l : logical) {
    if (l.connectors.empty()) continue;
    const auto m = std::find_if(monitors.begin(), monitors.end(), [&](const MonitorMode& mm) {
      return mm.connector == l.connectors.front();
    });
    if (m == monitors.end() || m->width <= 0 || m->height <= 0) continue;
    const bool turned = (l.transform & 1u) != 0;
    const std::int32_t pw = turned ? m->height : m->width;
    const std::int32_t ph = turned ? m->width : m->height;
    const double scale = l.scale > 0 ? l.scale : 1;
    Output o;
    o.id = static_cast<std::uint32_t>(outputs.size() + 1);
    o.name = m->connector;
    o.x = l.x;
    o.y = l.y;
    o.width = mode == LayoutMode::logical ? pw / scale : pw;
    o.height = mode == LayoutMode::logical ? ph / scale : ph;
    o.pixel_width = static_cast<std::uint32_t>(pw);
    o.pixel_height = static_cast<std::uint32_t>(ph);
    o.primary = l.primary;
    outputs.push_back(o);
  }
  return outputs;
}

StreamPoint stream_point(const Output& output, std::uint32_t stream_width, std::uint32_t stream_height, double x,
                         double y) {
  const double w = stream_width != 0 ? stream_width : (output.pixel_width != 0 ? output.pixel_width : output.width);
  const double h =
      stream_height != 0 ? stream_height : (output.pixel_height != 0 ? output.pixel_height : output.height);
  const double sx = output.width > 0 ? w / output.width : 1;
  const double sy = output.height > 0 ? h / output.height : 1;
  StreamPoint p{(x - output.x) * sx, (y - output.y) * sy};
  // A quarter inside the last pixel at most: the stream's far edge belongs to the next monitor.
  p.x = std::clamp(p.x, 0.0, std::max(0.0, w - 0.75));
  p.y = std::clamp(p.y, 0.0, std::max(0.0, h - 0.75));
  return p;
}

bool us_typeable(char32_t c) { return (c >= 0x20 && c <= 0x7e) || c == '\n' || c == '\r' || c == '\t'; }

std::vector<TextRun> plan_text(const std::u32string& text, const std::function<bool(char32_t)>& typeable) {
  auto always_typed = [](char32_t c) { return c == '\n' || c == '\r' || c == '\t'; };
  std::vector<bool> paste(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) paste[i] = !always_typed(text[i]) && !typeable(text[i]);
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (!paste[i] && paste[i - 1] && paste[i + 1] && !always_typed(text[i])) paste[i] = true;
  }
  std::vector<TextRun> runs;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (runs.empty() || runs.back().paste != paste[i]) runs.push_back(TextRun{paste[i], {}});
    runs.back().text.push_back(text[i]);
  }
  return runs;
}

FrameWait frame_wait(const Freshness& f, std::int64_t now, std::int64_t first_frame_deadline) {
  if (f.frame_at == 0) return {false, first_frame_deadline};
  if (f.input_at == 0) return {true, now};
  const std::int64_t settled = f.input_at + kFrameSettleNs;
  if (now >= settled) return {true, now};
  if (f.frame_at > f.input_at) {
    const std::int64_t quiet = f.frame_at + kFrameQuietNs;
    if (now >= quiet) return {true, now};
    return {false, std::min(quiet, settled)};
  }
  return {false, settled};
}

}  // namespace pelagon2::platform::wayland::gnome
