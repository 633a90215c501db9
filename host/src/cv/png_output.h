#pragma once
// Writing 8-bit RGB and RGBA images as PNG files that record their DPI.

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "core/outcome.h"

namespace pelagon2::cv {

// PNG colour types the writer accepts: 3 and 4 channels of 8 bits.
enum class PngColor : std::uint8_t { rgb = 2, rgba = 6 };

// Pixels-per-metre recorded for `dpi`: rounded half away from zero, negative
// and NaN as 0, saturating at the 32-bit maximum.
std::uint32_t ppm_from_dpi(double dpi);

// Creates or truncates `path` (mode 0666 before the umask) and writes IHDR,
// pHYs, IDAT and IEND, every row Sub-filtered and quickly deflated. Errors:
// "save_failed: {error} ({path})" when the file cannot be created, otherwise
// "save_failed: {error}". A size or pixel buffer that cannot make a PNG fails
// before the file is touched; a FIFO without a reader fails instead of
// blocking; the host's own streams are refused.
Done write_png_file(std::span<const std::uint8_t> pixels, std::uint32_t width, std::uint32_t height, PngColor color,
                    double dpi, const std::string& path);

}  // namespace pelagon2::cv
