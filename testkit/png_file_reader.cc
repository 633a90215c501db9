#include "testkit/png_file_reader.h"

#include <cstdio>

namespace pelagon2::testing {

namespace {

// Holds the setjmp frame; no object with a destructor lives here.
bool read_png_frame(png_structp png, png_infop info, std::FILE* file, PngFile* out) {
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

}  // namespace

std::optional<PngFile> read_png_file(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  std::optional<PngFile> result = PngFile{};
  if (info == nullptr || !read_png_frame(png, info, file, &*result)) result.reset();
  png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  std::fclose(file);
  return result;
}

}  // namespace pelagon2::testing
