#include "cv/png_input.h"

#include <png.h>

#include <cstring>
#include <new>
#include <string>

#include "cv/png/libpng_reader.h"
#include "cv/png/one_shot_decoder.h"
#include "cv/png/streaming_decoder.h"
#include "vision_core/rounding.h"

namespace pelagon2::cv {
namespace {

using png::decode_rgb;
using png::decode_rgba;
using png::prepare_rgb8_frame;
using png::PngReader;
using png::read_be32;
using png::read_info_frame;
using png::read_rows_frame;

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Refuses an oversized image from its IHDR alone, before libpng allocates
// anything that grows with the image.
Done check_size_limits(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 26 || std::memcmp(bytes.data(), kSignature, 8) != 0 ||
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
  // Deflate expands at most about 1032-fold, so a file cannot hold more
  // filtered rows than that; refusing here keeps a tiny file that claims a
  // huge image from costing an image-sized allocation before its data runs out.
  static constexpr std::uint8_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
  const std::uint8_t bit_depth = bytes[24];
  const std::uint8_t color_type = bytes[25];
  const std::uint64_t bits_per_pixel = std::uint64_t{bit_depth} * (color_type < 7 ? kChannels[color_type] : 1);
  const std::uint64_t filtered_bytes = std::uint64_t{height} * (1 + (std::uint64_t{width} * bits_per_pixel + 7) / 8);
  constexpr std::uint64_t kMaxDeflateRatio = 1032;
  if (filtered_bytes > kMaxDeflateRatio * bytes.size() + 4096) {
    return make_error("image size " + size + " cannot be held by " + std::to_string(bytes.size()) +
                      " bytes of PNG data");
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

  const png_byte color_type = png_get_color_type(png, info);
  if (png_get_bit_depth(png, info) == 8 && png_get_interlace_type(png, info) == PNG_INTERLACE_NONE &&
      (color_type == PNG_COLOR_TYPE_RGB || color_type == PNG_COLOR_TYPE_RGB_ALPHA)) {
    vision_core::RgbImage image;
    const char* error = nullptr;
    try {
      // RGB is decoded in a buffer that becomes the image's, so its pixels
      // are not allocated here.
      if (color_type == PNG_COLOR_TYPE_RGB) {
        image.width = png_get_image_width(png, info);
        image.height = png_get_image_height(png, info);
      } else {
        image = vision_core::RgbImage(png_get_image_width(png, info), png_get_image_height(png, info));
      }
      error = color_type == PNG_COLOR_TYPE_RGB ? decode_rgb(bytes, image) : decode_rgba(bytes, image);
    } catch (const std::bad_alloc&) {
      error = "out of memory";
    }
    if (error != nullptr) return make_error(error);
    return image;
  }

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
