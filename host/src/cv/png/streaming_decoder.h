#pragma once
// Direct path for non-interlaced 8-bit RGB and RGBA, the layout of nearly
// every screenshot. libpng has already validated the header and every chunk
// before the first IDAT. The whole stream is normally inflated in one call
// (one_shot_decoder.h); the streaming form here handles every stream that call
// declines: it inflates in blocks of rows and unfilters each row straight into
// the output image (RGB) or into one of two RGBA rows whose colour then goes
// to the output.

#include <cstddef>
#include <cstdint>
#include <span>

#include "vision_core/image.h"

namespace pelagon2::cv::png {

inline std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The concatenated data of consecutive IDAT chunks, CRC-checked as read.
class IdatStream {
 public:
  explicit IdatStream(std::span<const std::uint8_t> file) : file_(file) {}

  // Moves to the first IDAT chunk.
  const char* start();

  // The next IDAT chunk's data into `data`/`size`; false with `error` set
  // when the chunk is damaged, false with `error` null when the IDATs ended.
  bool next(const std::uint8_t** data, std::size_t* size, const char** error);

 private:
  std::span<const std::uint8_t> file_;
  std::size_t next_ = 0;
};

// Decodes the rows of an 8-bit RGB (Bpp 3) or RGBA (Bpp 4) image into
// `image`, whose size is set and pixels allocated; the reason on failure.
template <std::size_t Bpp>
const char* decode_streaming(std::span<const std::uint8_t> bytes, vision_core::RgbImage& image);

extern template const char* decode_streaming<3>(std::span<const std::uint8_t>, vision_core::RgbImage&);
extern template const char* decode_streaming<4>(std::span<const std::uint8_t>, vision_core::RgbImage&);

}  // namespace pelagon2::cv::png
