#pragma once
// Image parameters of requests: base64 of raw RGB pixels or of a PNG file,
// decoded to an RGB image with its DPI.

#include <string_view>

#include "core/json.h"
#include "core/outcome.h"
#include "vision_core/image.h"

namespace pelagon2::cv {

struct DecodedImage {
  vision_core::RgbImage image;
  double dpi = 96.0;
};

// `value` is the parameter's JSON value, `name` its key (used in messages only).
Expected<DecodedImage> decode_image_param(const Json& value, std::string_view name);

// The method get_image_info: header facts of a base64 PNG.
Outcome get_image_info(const Json& params);

}  // namespace pelagon2::cv
