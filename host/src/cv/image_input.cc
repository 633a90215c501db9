#include "cv/image_input.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/base64.h"
#include "cv/png_input.h"

namespace pelagon2::cv {
namespace {

// Only JSON unsigned integers count; larger values keep their low 32 bits.
std::uint32_t read_dimension(const Json& object, const char* key) {
  return static_cast<std::uint32_t>(unsigned_member(object, key).value_or(0));
}

// A positive `dpiX` wins; otherwise the PNG's metre density on the X axis;
// otherwise the 96 DPI of one pixel per point.
double image_dpi(const Json& object, std::span<const std::uint8_t> bytes) {
  if (const Json* given = find_member(object, "dpiX"); given != nullptr && given->is_number()) {
    const double dpi = given->get<double>();
    if (dpi > 0) return dpi;
  }
  const Expected<PngHeader> header = read_png_header(bytes);
  if (header && header->has_phys && header->phys_unit == 1 && header->phys_x != 0) {
    return dpi_from_ppm(header->phys_x);
  }
  return 96.0;
}

}  // namespace

Expected<DecodedImage> decode_image_param(const Json& value, std::string_view name) {
  const std::string* data = string_member(value, "data");
  if (data == nullptr) return make_error("bad_params: missing '" + std::string(name) + ".data'");
  Expected<std::vector<std::uint8_t>> bytes = base64_decode(*data);
  if (!bytes) return make_error("bad_params: base64 decode failed: " + bytes.error());

  DecodedImage decoded;
  decoded.dpi = image_dpi(value, *bytes);
  const std::uint32_t width = read_dimension(value, "width");
  const std::uint32_t height = read_dimension(value, "height");

  // Raw pixels are recognised by their length alone, before any PNG decoding.
  if (width > 0 && height > 0) {
    std::uint64_t product = 0;  // modulo 2^64
    const bool overflow = __builtin_mul_overflow(std::uint64_t{width} * 3, std::uint64_t{height}, &product);
    if (product == bytes->size()) {
      if (overflow) {
        return make_error("bad_image: raw size mismatch for " + std::string(name));
      }
      decoded.image.width = width;
      decoded.image.height = height;
      decoded.image.pixels = std::move(bytes).value();
      return decoded;
    }
  }

  Expected<vision_core::RgbImage> image = decode_png_rgb(*bytes);
  if (!image) {
    return make_error("bad_image: " + std::string(name) + " is neither raw RGB of " + std::to_string(width) + "x" +
                      std::to_string(height) + "x3 bytes nor decodable: " + image.error());
  }
  decoded.image = std::move(image).value();
  return decoded;
}

Outcome get_image_info(const Json& params) {
  const std::string* content = string_member(params, "content");
  if (content == nullptr) return make_error("bad_params: missing 'content'");
  Expected<std::vector<std::uint8_t>> bytes = base64_decode(*content);
  if (!bytes) return make_error("bad_params: base64 decode failed: " + bytes.error());

  const Expected<PngHeader> header = read_png_header(*bytes);
  if (!header) return make_error("bad_image: not a decodable PNG: " + header.error());

  int color = 0;
  switch (header->color_type) {
    case 3: color = 1; break;  // palette
    case 0: color = 2; break;  // grey
    case 4: color = 3; break;  // grey + alpha
    case 2: color = 4; break;  // RGB
    case 6: color = 5; break;  // RGBA
    default: break;
  }
  const bool metric = header->has_phys && header->phys_unit == 1;
  Json info = Json::object();
  info["bitDepth"] = static_cast<std::uint64_t>(header->bit_depth * header->channels);
  info["color"] = static_cast<std::uint64_t>(color);
  info["dpiX"] = metric ? dpi_from_ppm(header->phys_x) : 0.0;
  info["dpiY"] = metric ? dpi_from_ppm(header->phys_y) : 0.0;
  info["format"] = std::uint64_t{1};
  info["height"] = static_cast<std::uint64_t>(header->height);
  info["width"] = static_cast<std::uint64_t>(header->width);
  return info;
}

}  // namespace pelagon2::cv
