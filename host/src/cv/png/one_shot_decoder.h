#pragma once
// The usual path for non-interlaced 8-bit RGB and RGBA: the whole zlib stream
// inflated in one call, the rows unfiltered in place. A stream that call
// declines goes to the streaming decoder.

#include <cstdint>
#include <span>

#include "vision_core/image.h"

namespace pelagon2::cv::png {

// Decode into `image`, whose width and height are set (pixels not yet
// allocated); the reason on failure.
const char* decode_rgb(std::span<const std::uint8_t> bytes, vision_core::RgbImage& image);

// Decode into `image`, whose size is set and pixels allocated.
const char* decode_rgba(std::span<const std::uint8_t> bytes, vision_core::RgbImage& image);

}  // namespace pelagon2::cv::png
