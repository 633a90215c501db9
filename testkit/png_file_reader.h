#pragma once
// Reads a PNG file written by the host back into its header facts, pHYs and
// 8-bit samples, for tests that check what was written.

#include <png.h>

#include <cstdint>
#include <cstdio>
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

namespace detail {

// Holds the setjmp frame; no object with a destructor lives here.
inline bool read_png_frame(png_structp png, png_infop info, std::FILE* file, PngFile* out) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  png_read_info(png, info);
  out->width = png_get_image_width(png, info);
  out->height = png_get_image_height(png, info);
  out->color_type = png_get_color_type(png, info);
  out->bit_depth = png_get_bit_depth(png, info);
  out->has_phys = png_get_pHYs(png, info, &out->ppm_x, &out->ppm_y, &out->unit) != 0;
  const std::size_t row = png_get_rowbytes(png, info);
  out->pixels.resize(row * out->height);
  for (std::uint32_t y = 0; y < out->height; ++y) png_read_row(png, out->pixels.data() + y * row, nullptr);
  png_read_end(png, nullptr);
  return true;
}

}  // namespace detail

inline std::optional<PngFile> read_png_file(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  std::optional<PngFile> result = PngFile{};
  if (info == nullptr || !detail::read_png_frame(png, info, file, &*result)) result.reset();
  png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  std::fclose(file);
  return result;
}

}  // namespace pelagon2::testing
