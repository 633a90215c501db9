#include "cv/png/streaming_decoder.h"

#include <libdeflate.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "cv/png/filters.h"

namespace pelagon2::cv::png {

const char* IdatStream::start() {
  std::size_t at = 8;
  while (true) {
    if (file_.size() - at < 8) return "unexpected end of PNG data";
    const std::uint32_t length = read_be32(file_.data() + at);
    if (std::memcmp(file_.data() + at + 4, "IDAT", 4) == 0) break;
    if (length > PNG_UINT_31_MAX || file_.size() - at - 8 < std::size_t{length} + 4) {
      return "unexpected end of PNG data";
    }
    at += std::size_t{length} + 12;
  }
  next_ = at;
  return nullptr;
}

bool IdatStream::next(const std::uint8_t** data, std::size_t* size, const char** error) {
  *error = nullptr;
  if (file_.size() - next_ < 8 || std::memcmp(file_.data() + next_ + 4, "IDAT", 4) != 0) return false;
  const std::uint32_t length = read_be32(file_.data() + next_);
  if (length > PNG_UINT_31_MAX || file_.size() - next_ - 8 < std::size_t{length} + 4) {
    *error = "unexpected end of PNG data";
    return false;
  }
  const std::uint8_t* type_and_data = file_.data() + next_ + 4;
  const std::uint32_t crc = libdeflate_crc32(0, type_and_data, std::size_t{length} + 4);
  if (crc != read_be32(type_and_data + 4 + length)) {
    *error = "IDAT: CRC error";
    return false;
  }
  *data = type_and_data + 4;
  *size = length;
  next_ += std::size_t{length} + 12;
  return true;
}

namespace {

constexpr std::size_t kInflateBlockBytes = 256 * 1024;

struct Inflater {
  z_stream stream{};
  bool ready = false;
  Inflater() { ready = inflateInit(&stream) == Z_OK; }
  ~Inflater() {
    if (ready) inflateEnd(&stream);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
};

// Fills `out` completely from the IDAT stream, or returns the reason it could not.
const char* inflate_exactly(Inflater& z, IdatStream& idat, std::uint8_t* out, std::size_t size) {
  z.stream.next_out = out;
  while (size > 0) {
    const auto step = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
    z.stream.avail_out = step;
    while (z.stream.avail_out > 0) {
      if (z.stream.avail_in == 0) {
        const std::uint8_t* data = nullptr;
        std::size_t length = 0;
        const char* error = nullptr;
        if (!idat.next(&data, &length, &error)) return error != nullptr ? error : "Not enough image data";
        z.stream.next_in = const_cast<Bytef*>(data);
        z.stream.avail_in = static_cast<uInt>(length);
        continue;
      }
      const int ret = inflate(&z.stream, Z_NO_FLUSH);
      if (ret == Z_STREAM_END && z.stream.avail_out > 0) return "Not enough image data";
      if (ret != Z_OK && ret != Z_STREAM_END) return z.stream.msg != nullptr ? z.stream.msg : "decompression error";
    }
    size -= step;
  }
  return nullptr;
}

}  // namespace

template <std::size_t Bpp>
const char* decode_streaming(std::span<const std::uint8_t> bytes, vision_core::RgbImage& image) {
  IdatStream idat(bytes);
  if (const char* error = idat.start()) return error;
  Inflater z;
  if (!z.ready) return "out of memory";

  const std::size_t width = image.width;
  const std::size_t file_row = width * Bpp + 1;  // filter byte + samples
  const std::size_t rows_per_block = std::max<std::size_t>(1, kInflateBlockBytes / file_row);
  const std::size_t out_stride = width * 3;
  std::vector<std::uint8_t> block(rows_per_block * file_row);
  // RGBA rows are unfiltered against the row above with its alpha, so two
  // full rows are kept; RGB rows use the output itself.
  std::vector<std::uint8_t> zeros(width * Bpp, 0);
  std::vector<std::uint8_t> rgba(Bpp == 4 ? 2 * width * 4 : 0);

  const std::uint8_t* prior = zeros.data();
  for (std::uint32_t y = 0; y < image.height;) {
    const std::size_t rows = std::min<std::size_t>(rows_per_block, image.height - y);
    if (const char* error = inflate_exactly(z, idat, block.data(), rows * file_row)) return error;
    for (std::size_t r = 0; r < rows; ++r, ++y) {
      const std::uint8_t* src = block.data() + r * file_row;
      std::uint8_t* out = image.pixels.data() + y * out_stride;
      if constexpr (Bpp == 3) {
        if (!unfilter_row(3, src[0], src + 1, prior, out, width * 3)) return "bad adaptive filter value";
        prior = out;
      } else {
        std::uint8_t* row = rgba.data() + (y % 2) * width * 4;
        if (!unfilter_row(4, src[0], src + 1, prior, row, width * 4)) return "bad adaptive filter value";
        drop_alpha(row, out, width);
        prior = row;
      }
    }
  }
  return nullptr;
}

template const char* decode_streaming<3>(std::span<const std::uint8_t>, vision_core::RgbImage&);
template const char* decode_streaming<4>(std::span<const std::uint8_t>, vision_core::RgbImage&);

}  // namespace pelagon2::cv::png
