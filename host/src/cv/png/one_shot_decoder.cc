#include "cv/png/one_shot_decoder.h"

#include <libdeflate.h>

#include <cstring>
#include <vector>

#include "cv/png/filters.h"
#include "cv/png/streaming_decoder.h"

namespace pelagon2::cv::png {
namespace {

// The whole zlib stream as one span: the data of a lone IDAT in place, or
// that of consecutive IDATs copied into `joined`. False when a chunk is cut
// short or fails its CRC; the streaming path then decides, as it may still
// finish the image before reaching the damage.
bool join_idat(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& joined,
               std::span<const std::uint8_t>* stream) {
  IdatStream idat(bytes);
  if (idat.start() != nullptr) return false;
  std::vector<std::span<const std::uint8_t>> parts;
  std::size_t total = 0;
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
  const char* error = nullptr;
  while (idat.next(&data, &length, &error)) {
    parts.emplace_back(data, length);
    total += length;
  }
  if (error != nullptr || parts.empty()) return false;
  if (parts.size() == 1) {
    *stream = parts.front();
    return true;
  }
  joined.resize(total);
  std::size_t at = 0;
  for (const auto& part : parts) {
    std::memcpy(joined.data() + at, part.data(), part.size());
    at += part.size();
  }
  *stream = joined;
  return true;
}

struct Decompressor {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  ~Decompressor() {
    if (d != nullptr) libdeflate_free_decompressor(d);
  }
  Decompressor() = default;
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;
};

// Inflates the whole stream into `out`, which is exactly the filtered size.
// Only a stream that fills it exactly and ends with the right checksum counts;
// anything else (short, long, damaged, trailing bytes) is left to the
// streaming path, which gives the reason it always gave and accepts what it
// always accepted (such as surplus data or a missing checksum after the last
// row).
enum class OneShot { done, declined, out_of_memory };

OneShot inflate_one_shot(std::span<const std::uint8_t> bytes, std::uint8_t* out, std::size_t size) {
  std::vector<std::uint8_t> joined;
  std::span<const std::uint8_t> stream;
  if (!join_idat(bytes, joined, &stream)) return OneShot::declined;
  Decompressor z;
  if (z.d == nullptr) return OneShot::out_of_memory;
  const libdeflate_result result = libdeflate_zlib_decompress(z.d, stream.data(), stream.size(), out, size, nullptr);
  return result == LIBDEFLATE_SUCCESS ? OneShot::done : OneShot::declined;
}

// Unfilters inflated rows in place: row y's output starts y + 1 bytes before
// its filtered samples, so every output byte lands where input has already
// been consumed. `row_done(y, row)` sees each finished row.
template <std::size_t Bpp, class RowDone>
const char* unfilter_in_place(std::uint8_t* buffer, std::size_t width, std::size_t height, RowDone row_done) {
  const std::size_t stride = width * Bpp;
  const std::vector<std::uint8_t> zeros(stride, 0);
  const std::uint8_t* prior = zeros.data();
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* src = buffer + y * (stride + 1);
    std::uint8_t* row = buffer + y * stride;
    if (!unfilter_row(Bpp, src[0], src + 1, prior, row, stride)) return "bad adaptive filter value";
    row_done(y, row);
    prior = row;
  }
  return nullptr;
}
}  // namespace

// RGB rows are unfiltered in the buffer that becomes the image's, which then
// shrinks to the packed image.
const char* decode_rgb(std::span<const std::uint8_t> bytes, vision_core::RgbImage& image) {
  const std::size_t width = image.width;
  const std::size_t height = image.height;
  const std::size_t stride = width * 3;
  const std::size_t file_row = stride + 1;
  image.pixels.resize(height * file_row);
  const OneShot inflated = inflate_one_shot(bytes, image.pixels.data(), image.pixels.size());
  if (inflated == OneShot::out_of_memory) return "out of memory";
  if (inflated == OneShot::declined) {
    image.pixels.resize(height * stride);
    return decode_streaming<3>(bytes, image);
  }
  const auto keep = [](std::size_t, const std::uint8_t*) {};  // the rows are the image
  if (const char* error = unfilter_in_place<3>(image.pixels.data(), width, height, keep)) return error;
  image.pixels.resize(height * stride);
  return nullptr;
}

// RGBA rows are unfiltered in place too (the row above is needed with its
// alpha), then their colour is packed into the output.
const char* decode_rgba(std::span<const std::uint8_t> bytes, vision_core::RgbImage& image) {
  const std::size_t width = image.width;
  const std::size_t height = image.height;
  const std::size_t stride = width * 4;
  const std::size_t file_row = stride + 1;
  std::vector<std::uint8_t> buffer(height * file_row);
  const OneShot inflated = inflate_one_shot(bytes, buffer.data(), buffer.size());
  if (inflated == OneShot::out_of_memory) return "out of memory";
  if (inflated == OneShot::declined) {
    buffer = std::vector<std::uint8_t>();
    return decode_streaming<4>(bytes, image);
  }
  return unfilter_in_place<4>(buffer.data(), width, height, [&](std::size_t y, const std::uint8_t* row) {
    drop_alpha(row, image.pixels.data() + y * width * 3, width);
  });
}

}  // namespace pelagon2::cv::png
