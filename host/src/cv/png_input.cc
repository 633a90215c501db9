#include "cv/png_input.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "vision_core/rounding.h"

namespace pelagon2::cv {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Everything libpng's callbacks touch. Plain data only: libpng reports errors
// by longjmp, which must not skip a destructor.
struct ReadContext {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t offset = 0;
  bool stop_at_frame_data = false;
  bool reached_frame_data = false;
  char reason[256] = {};
};

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

// An animated PNG's frame data ends the header just as IDAT does.
int on_unknown_chunk(png_structp png, png_unknown_chunkp chunk) {
  auto* ctx = static_cast<ReadContext*>(png_get_user_chunk_ptr(png));
  if (ctx->stop_at_frame_data && std::memcmp(chunk->name, "fdAT", 4) == 0) {
    ctx->reached_frame_data = true;
    png_error(png, "frame data reached");
  }
  return 0;  // let libpng apply its default (ancillary chunks are skipped)
}

// Owns the libpng read structures for one decode.
class PngReader {
 public:
  PngReader(std::span<const std::uint8_t> bytes) {
    ctx_.data = bytes.data();
    ctx_.size = bytes.size();
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx_, on_error, on_warning);
    if (png_ == nullptr) return;
    info_ = png_create_info_struct(png_);
    if (info_ == nullptr) return;
    png_set_read_fn(png_, &ctx_, on_read);
    png_set_read_user_chunk_fn(png_, &ctx_, on_unknown_chunk);
  }
  ~PngReader() {
    if (png_ != nullptr) png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr);
  }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  bool ready() const { return png_ != nullptr && info_ != nullptr; }
  png_structp png() { return png_; }
  png_infop info() { return info_; }
  ReadContext& ctx() { return ctx_; }
  std::string reason() const { return ctx_.reason; }

 private:
  ReadContext ctx_;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

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

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// Refuses an oversized image from its IHDR alone, before libpng allocates
// anything that grows with the image.
Expected<std::monostate> check_size_limits(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 24 || std::memcmp(bytes.data(), kSignature, 8) != 0 ||
      std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) {
    return std::monostate{};  // libpng reports what is wrong
  }
  const std::uint32_t width = read_be32(bytes.data() + 16);
  const std::uint32_t height = read_be32(bytes.data() + 20);
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (width > kMaxDecodeSide || height > kMaxDecodeSide) {
    return make_error("image size " + size + " exceeds the decoding limit of " + std::to_string(kMaxDecodeSide) +
                      " pixels per side");
  }
  if (std::uint64_t{width} * height > kMaxDecodePixels) {
    return make_error("image size " + size + " exceeds the decoding limit of " + std::to_string(kMaxDecodePixels) +
                      " pixels");
  }
  return std::monostate{};
}

}  // namespace

double dpi_from_ppm(std::uint32_t pixels_per_metre) {
  return static_cast<double>(vision_core::round_to<std::uint32_t>(pixels_per_metre * 0.0254));
}

Expected<PngHeader> read_png_header(std::span<const std::uint8_t> bytes) {
  PngReader reader(bytes);
  if (!reader.ready()) return make_error("out of memory");
  // Only the header is read here, so any size the format allows is fine.
  png_set_user_limits(reader.png(), PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  reader.ctx().stop_at_frame_data = true;
  if (!read_info_frame(reader.png(), reader.info()) && !reader.ctx().reached_frame_data) {
    return make_error(reader.reason());
  }
  png_structp png = reader.png();
  png_infop info = reader.info();
  PngHeader header;
  header.width = png_get_image_width(png, info);
  header.height = png_get_image_height(png, info);
  header.bit_depth = png_get_bit_depth(png, info);
  header.color_type = png_get_color_type(png, info);
  header.channels = png_get_channels(png, info);
  header.interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
  png_uint_32 x = 0;
  png_uint_32 y = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &x, &y, &unit) != 0) {
    header.has_phys = true;
    header.phys_unit = unit;
    header.phys_x = x;
    header.phys_y = y;
  }
  return header;
}

Expected<vision_core::RgbImage> decode_png_rgb(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < sizeof kSignature || png_sig_cmp(bytes.data(), 0, sizeof kSignature) != 0) {
    return make_error("Not a PNG file");
  }
  if (auto limits = check_size_limits(bytes); !limits) return std::move(limits).take_error();

  PngReader reader(bytes);
  if (!reader.ready()) return make_error("out of memory");
  png_structp png = reader.png();
  png_infop info = reader.info();
  png_set_user_limits(png, kMaxDecodeSide, kMaxDecodeSide);
  if (!read_info_frame(png, info)) return make_error(reader.reason());

  int passes = 1;
  if (!prepare_rgb8_frame(png, info, &passes)) return make_error(reader.reason());
  const std::uint32_t width = png_get_image_width(png, info);
  const std::uint32_t height = png_get_image_height(png, info);
  const std::size_t stride = std::size_t{width} * 3;
  if (png_get_bit_depth(png, info) != 8 || png_get_channels(png, info) != 3 || png_get_rowbytes(png, info) != stride) {
    return make_error("unsupported PNG layout");
  }
  if (std::uint64_t{width} * height > kMaxDecodePixels) {
    return make_error("image size exceeds the decoding limit of " + std::to_string(kMaxDecodePixels) + " pixels");
  }

  vision_core::RgbImage image;
  try {
    image = vision_core::RgbImage(width, height);
  } catch (const std::bad_alloc&) {
    return make_error("out of memory");
  }
  if (!read_rows_frame(png, image.pixels.data(), stride, height, passes)) return make_error(reader.reason());
  return image;
}

}  // namespace pelagon2::cv
