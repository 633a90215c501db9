#include "cv/png/libpng_reader.h"

#include <cstdio>
#include <cstring>

namespace pelagon2::cv::png {
namespace {

void on_error(png_structp png, png_const_charp message) {
  auto* ctx = static_cast<ReadContext*>(png_get_error_ptr(png));
  std::snprintf(ctx->reason, sizeof ctx->reason, "%s", message != nullptr ? message : "unknown PNG error");
  png_longjmp(png, 1);
}

// The host writes nothing to stderr; libpng's warnings are about damage it
// has already recovered from.
void on_warning(png_structp, png_const_charp) {}

void on_read(png_structp png, png_bytep out, std::size_t length) {
  auto* ctx = static_cast<ReadContext*>(png_get_io_ptr(png));
  if (length > ctx->size - ctx->offset) png_error(png, "unexpected end of PNG data");
  std::memcpy(out, ctx->data + ctx->offset, length);
  ctx->offset += length;
}

// An animated PNG's frame data ends the header just as IDAT does, but only
// after an IHDR: frame data first leaves no header to report.
int on_unknown_chunk(png_structp png, png_unknown_chunkp chunk) {
  auto* ctx = static_cast<ReadContext*>(png_get_user_chunk_ptr(png));
  if (ctx->stop_at_frame_data && std::memcmp(chunk->name, "fdAT", 4) == 0) {
    if (png_get_image_width(png, ctx->info) == 0) png_chunk_error(png, "missing IHDR");
    ctx->reached_frame_data = true;
    png_error(png, "frame data reached");
  }
  return 0;  // let libpng apply its default (ancillary chunks are skipped)
}

}  // namespace

PngReader::PngReader(std::span<const std::uint8_t> bytes) {
  ctx_.data = bytes.data();
  ctx_.size = bytes.size();
  png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx_, on_error, on_warning);
  if (png_ == nullptr) return;
  info_ = png_create_info_struct(png_);
  if (info_ == nullptr) return;
  ctx_.info = info_;
  png_set_read_fn(png_, &ctx_, on_read);
  png_set_read_user_chunk_fn(png_, &ctx_, on_unknown_chunk);
}

PngReader::~PngReader() {
  if (png_ != nullptr) png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr);
}

// The functions below hold the setjmp frames. They create no object with a
// destructor, so a longjmp out of libpng skips nothing.

bool read_info_frame(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  return true;
}

bool prepare_rgb8_frame(png_structp png, png_infop info, int* passes) {
  if (setjmp(png_jmpbuf(png))) return false;
  const png_byte color_type = png_get_color_type(png, info);
  const png_byte bit_depth = png_get_bit_depth(png, info);
  if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (color_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  // Palette expansion turns tRNS into an alpha channel; every alpha goes.
  png_set_strip_alpha(png);
  if (bit_depth == 16) png_set_scale_16(png);
  *passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return true;
}

// Each pass of an interlaced image adds its pixels to the same rows, so the
// rows are the output buffer itself and nothing is copied afterwards.
bool read_rows_frame(png_structp png, png_bytep pixels, std::size_t stride, std::uint32_t height, int passes) {
  if (setjmp(png_jmpbuf(png))) return false;
  for (int pass = 0; pass < passes; ++pass) {
    for (std::uint32_t y = 0; y < height; ++y) png_read_row(png, pixels + y * stride, nullptr);
  }
  return true;
}

}  // namespace pelagon2::cv::png
