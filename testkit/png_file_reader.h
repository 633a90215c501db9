#pragma once
// Reads a PNG file written by the host back into its header facts, pHYs and
// 8-bit samples, for tests that check what was written. The colour type and
// unit are libpng's codes, so its header comes with this one.

#include <png.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelagon2::testing {

struct PngFile {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int color_type = -1;
  int bit_depth = 0;
  bool has_phys = false;
  png_uint_32 ppm_x = 0;
  png_uint_32 ppm_y = 0;
  int unit = -1;
  std::vector<std::uint8_t> pixels;  // rows packed as stored
};

// The file at `path` as libpng reads it; nullopt if it cannot be opened or read.
std::optional<PngFile> read_png_file(const std::string& path);

}  // namespace pelagon2::testing
