#include "platform/x11/x11_screen_model.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "vision_core/rounding.h"

namespace pelagon2::platform::x11 {
namespace {

std::uint32_t monitor_id(const MonitorInfo& monitor) {
  // A monitor made by hand may have no output; its name atom is as unique.
  return monitor.first_output.value_or(monitor.name_atom);
}

// One colour channel: where it sits and how far its values go.
struct Channel {
  int shift = 0;
  std::uint32_t mask = 0;  // after the shift
};

Channel channel_of(std::uint32_t mask) {
  if (mask == 0) return Channel{};
  const int shift = std::countr_zero(mask);
  return Channel{shift, mask >> shift};
}

inline std::uint8_t channel_value(std::uint32_t pixel, const Channel& c) {
  const std::uint64_t v = (pixel >> c.shift) & c.mask;
  if (c.mask == 0xFF) return static_cast<std::uint8_t>(v);
  return static_cast<std::uint8_t>((v * 255 + c.mask / 2) / c.mask);
}

inline std::uint32_t read_pixel(const std::uint8_t* p, int bytes, bool msb_first) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    const int index = msb_first ? i : bytes - 1 - i;
    v = (v << 8) | p[index];
  }
  return v;
}

}  // namespace

std::vector<DisplayRecord> displays_from_monitors(const std::vector<MonitorInfo>& monitors) {
  std::vector<DisplayRecord> displays;
  displays.reserve(monitors.size());
  const bool any_primary = std::any_of(monitors.begin(), monitors.end(), [](const auto& m) { return m.primary; });
  bool main_taken = false;
  for (const MonitorInfo& m : monitors) {
    DisplayRecord d;
    d.id = monitor_id(m);
    d.x = m.x;
    d.y = m.y;
    d.width = m.width;
    d.height = m.height;
    // Root pixels are the points: one pixel per point.
    d.mode_pixel_width = m.width > 0 ? static_cast<std::uint64_t>(m.width) : 0;
    d.is_main = !main_taken && (any_primary ? m.primary : true);
    main_taken = main_taken || d.is_main;
    displays.push_back(d);
  }
  return displays;
}

std::vector<ScreenRecord> screens_from_monitors(const std::vector<MonitorInfo>& monitors) {
  std::vector<ScreenRecord> screens;
  screens.reserve(monitors.size());
  for (const MonitorInfo& m : monitors) screens.push_back(ScreenRecord{monitor_id(m), latin1_to_utf8(m.name)});
  return screens;
}

DisplayRecord root_display(std::uint32_t root_id, std::uint32_t width, std::uint32_t height) {
  DisplayRecord d;
  d.id = root_id;
  d.width = width;
  d.height = height;
  d.mode_pixel_width = width;
  d.is_main = true;
  return d;
}

std::string latin1_to_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

PixelRect display_pixels(const DisplayRecord& display) {
  using vision_core::saturate_to;
  return PixelRect{saturate_to<std::int32_t>(display.x), saturate_to<std::int32_t>(display.y),
                   saturate_to<std::uint32_t>(display.width), saturate_to<std::uint32_t>(display.height)};
}

PixelRect intersect(const PixelRect& a, const PixelRect& b) {
  const std::int64_t left = std::max(a.x, b.x);
  const std::int64_t top = std::max(a.y, b.y);
  const std::int64_t right = std::min(a.x + a.width, b.x + b.width);
  const std::int64_t bottom = std::min(a.y + a.height, b.y + b.height);
  if (right <= left || bottom <= top) return PixelRect{left, top, 0, 0};
  return PixelRect{left, top, right - left, bottom - top};
}

std::optional<PixelRect> clip_to_root(const PixelRect& rect, std::uint16_t root_width, std::uint16_t root_height) {
  if (rect.empty()) return std::nullopt;
  const PixelRect clipped = intersect(rect, PixelRect{0, 0, root_width, root_height});
  if (clipped.empty()) return std::nullopt;
  return clipped;
}

std::vector<MonitorInfo> monitors_on_root(const std::vector<MonitorInfo>& monitors, std::uint16_t root_width,
                                          std::uint16_t root_height) {
  std::vector<MonitorInfo> out;
  out.reserve(monitors.size());
  for (const MonitorInfo& m : monitors) {
    const std::optional<PixelRect> part = clip_to_root(PixelRect{m.x, m.y, m.width, m.height}, root_width, root_height);
    if (!part) continue;
    MonitorInfo kept = m;
    // Within the root, so within 16 bits.
    kept.x = static_cast<std::int32_t>(part->x);
    kept.y = static_cast<std::int32_t>(part->y);
    kept.width = static_cast<std::int32_t>(part->width);
    kept.height = static_cast<std::int32_t>(part->height);
    out.push_back(std::move(kept));
  }
  return out;
}

bool is_bgrx(const PixelLayout& layout) {
  return layout.bits_per_pixel == 32 && !layout.msb_first && layout.red_mask == 0xFF0000 &&
         layout.green_mask == 0xFF00 && layout.blue_mask == 0xFF;
}

bool is_convertible(const PixelLayout& layout) {
  const int bpp = layout.bits_per_pixel;
  return (bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32) && layout.red_mask != 0 && layout.green_mask != 0 &&
         layout.blue_mask != 0;
}

void convert_to_bgrx(const std::uint8_t* pixels, std::size_t stride, std::uint32_t width, std::uint32_t height,
                     const PixelLayout& layout, std::uint8_t* out, std::size_t out_stride) {
  if (is_bgrx(layout)) {
    for (std::uint32_t y = 0; y < height; ++y) std::memcpy(out + y * out_stride, pixels + y * stride, std::size_t{width} * 4);
    return;
  }
  const int bytes = layout.bits_per_pixel / 8;
  const Channel red = channel_of(layout.red_mask);
  const Channel green = channel_of(layout.green_mask);
  const Channel blue = channel_of(layout.blue_mask);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint8_t* src = pixels + y * stride;
    std::uint8_t* dst = out + y * out_stride;
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint32_t v = read_pixel(src + std::size_t{x} * static_cast<std::size_t>(bytes), bytes, layout.msb_first);
      dst[0] = channel_value(v, blue);
      dst[1] = channel_value(v, green);
      dst[2] = channel_value(v, red);
      dst[3] = 0xFF;
      dst += 4;
    }
  }
}

}  // namespace pelagon2::platform::x11
