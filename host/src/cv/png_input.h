#pragma once
// Reading PNG files held in memory: the header facts up to the first image
// data, and a full decode to 8-bit RGB.

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/outcome.h"
#include "vision_core/image.h"

namespace pelagon2::cv {

// Largest image the decoder allocates pixels for; larger headers are refused
// before any pixel memory is taken.
inline constexpr std::uint32_t kMaxDecodeSide = 1'000'000;
inline constexpr std::uint64_t kMaxDecodePixels = std::uint64_t{1} << 28;

struct PngHeader {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bit_depth = 0;   // per sample, as in IHDR
  int color_type = 0;  // PNG colour type: 0, 2, 3, 4 or 6
  int channels = 0;    // samples per pixel in the file (palette: 1)
  bool interlaced = false;
  bool has_phys = false;
  int phys_unit = 0;  // 1 = metre
  std::uint32_t phys_x = 0;
  std::uint32_t phys_y = 0;
};

// Reads signature, IHDR and the chunks before the first IDAT (or fdAT of an
// animated PNG). The error is the decoder's own description of the fault.
Expected<PngHeader> read_png_header(std::span<const std::uint8_t> bytes);

// Decodes to packed 8-bit RGB: grey copied to all three channels, palettes
// expanded, alpha and tRNS dropped without compositing, 16-bit samples scaled
// to round(v * 255 / 65535). The error is the bare reason.
Expected<vision_core::RgbImage> decode_png_rgb(std::span<const std::uint8_t> bytes);

// DPI of a pixels-per-metre density, rounded half away from zero.
double dpi_from_ppm(std::uint32_t pixels_per_metre);

}  // namespace pelagon2::cv
