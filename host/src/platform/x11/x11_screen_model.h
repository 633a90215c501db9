#pragma once
// The X11 screen backend's decisions, free of X libraries so they are tested
// on every machine: which monitors become displays and under which id, what
// rectangle of the root is read, and how pixels of any true-colour layout
// become bgrx.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace pelagon2::platform::x11 {

// One RandR monitor as the server lists it.
struct MonitorInfo {
  std::uint32_t name_atom = 0;
  std::string name;  // the atom's text as the server stores it (Latin-1)
  std::int32_t x = 0, y = 0;
  std::int32_t width = 0, height = 0;
  bool primary = false;
  std::optional<std::uint32_t> first_output;  // absent for a monitor without outputs
};

// Monitors in server order become displays: id = the first output's XID (the
// name atom for a monitor without outputs), bounds in root pixels = points,
// scale 1, main = the primary monitor, else the first.
std::vector<DisplayRecord> displays_from_monitors(const std::vector<MonitorInfo>& monitors);

// The names of those displays, in the same order.
std::vector<ScreenRecord> screens_from_monitors(const std::vector<MonitorInfo>& monitors);

// Without monitors: one main display covering the root window.
DisplayRecord root_display(std::uint32_t root_id, std::uint32_t width, std::uint32_t height);

// Atom names are Latin-1; the host speaks UTF-8.
std::string latin1_to_utf8(std::string_view text);

// A rectangle of root pixels.
struct PixelRect {
  std::int64_t x = 0, y = 0;
  std::int64_t width = 0, height = 0;
  bool empty() const { return width <= 0 || height <= 0; }
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// The pixels a display's bounds cover: origin truncated toward zero, sizes
// truncated, everything saturated to 32 bits.
PixelRect display_pixels(const DisplayRecord& display);

PixelRect intersect(const PixelRect& a, const PixelRect& b);

// The part of `rect` on the root window (`root_width` x `root_height` at the
// origin); nullopt when none of it is. Only the root's pixels exist: any
// client may declare a monitor larger than the screen or beside it, and what
// lies outside the root has nothing to show and must cost no memory.
std::optional<PixelRect> clip_to_root(const PixelRect& rect, std::uint16_t root_width, std::uint16_t root_height);

// The monitors in the same order, each cut down to its part on the root;
// those with no part on it are left out.
std::vector<MonitorInfo> monitors_on_root(const std::vector<MonitorInfo>& monitors, std::uint16_t root_width,
                                          std::uint16_t root_height);

// How an image stores its pixels: what the server's setup and the root
// visual say about a ZPixmap of the root's depth.
struct PixelLayout {
  int bits_per_pixel = 32;
  bool msb_first = false;  // byte order of multi-byte pixels
  std::uint32_t red_mask = 0xFF0000;
  std::uint32_t green_mask = 0xFF00;
  std::uint32_t blue_mask = 0xFF;
};

// True when the bytes already read blue, green, red, unused.
bool is_bgrx(const PixelLayout& layout);

// True for the layouts convert_to_bgrx understands: 8, 16, 24 or 32 bits per
// pixel with non-empty colour masks.
bool is_convertible(const PixelLayout& layout);

// Converts `height` rows of `width` pixels (rows `stride` bytes apart) into
// bgrx rows of width * 4 bytes at `out`, each row `out_stride` apart. Channels
// narrower than 8 bits are scaled to the full 0..255 range.
void convert_to_bgrx(const std::uint8_t* pixels, std::size_t stride, std::uint32_t width, std::uint32_t height,
                     const PixelLayout& layout, std::uint8_t* out, std::size_t out_stride);

}  // namespace pelagon2::platform::x11
