#include "cv/png_output.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "core/descriptor_io.h"
#include "core/file_io.h"
#include "core/host_streams.h"
#include "core/os_error.h"
#include "core/utf8.h"
#include "cv/png/filters.h"
#include "vision_core/rounding.h"

namespace pelagon2::cv {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kMaxSide = 0x7FFFFFFF;  // PNG sizes are 31-bit

// Captures are written on the request path: speed matters more than size.
// The fastest level still finds the long runs of screen content; on screens
// it measured faster than zlib's fastest level, with files about 15% smaller.
constexpr int kDeflateLevel = 1;

// Largest IDAT payload written as one chunk; chunk lengths stop at 2^31 - 1.
constexpr std::size_t kMaxIdatChunk = std::size_t{1} << 30;

struct CompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

void put_be32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

// Lays out one chunk's length and type at `out` and its CRC right after the
// `length` data bytes that follow them.
void frame_chunk(std::uint8_t* out, const char (&type)[5], std::size_t length) {
  put_be32(out, static_cast<std::uint32_t>(length));
  std::memcpy(out + 4, type, 4);
  put_be32(out + 8 + length, libdeflate_crc32(0, out + 4, 4 + length));
}

// Sends `bytes` as IDAT chunks of at most kMaxIdatChunk bytes.
bool write_idat(int fd, const std::uint8_t* data, std::size_t size) {
  do {
    const std::size_t take = std::min(size, kMaxIdatChunk);
    std::uint8_t head[8];
    put_be32(head, static_cast<std::uint32_t>(take));
    std::memcpy(head + 4, "IDAT", 4);
    std::uint8_t crc[4];
    put_be32(crc, libdeflate_crc32(libdeflate_crc32(0, head + 4, 4), data, take));
    if (!write_all(fd, head, sizeof head) || !write_all(fd, data, take) || !write_all(fd, crc, sizeof crc)) {
      return false;
    }
    data += take;
    size -= take;
  } while (size > 0);
  return true;
}

// Signature, IHDR and pHYs: everything before the image data.
constexpr std::size_t kHeadBytes = 8 + (12 + 13) + (12 + 9);

void lay_out_head(std::uint8_t* out, std::uint32_t width, std::uint32_t height, PngColor color, std::uint32_t ppm) {
  std::memcpy(out, kSignature, 8);
  std::uint8_t* ihdr = out + 8;
  put_be32(ihdr + 8, width);
  put_be32(ihdr + 12, height);
  ihdr[16] = 8;  // bits per sample
  ihdr[17] = static_cast<std::uint8_t>(color);
  ihdr[18] = 0;  // deflate
  ihdr[19] = 0;  // adaptive filtering
  ihdr[20] = 0;  // not interlaced
  frame_chunk(ihdr, "IHDR", 13);
  std::uint8_t* phys = ihdr + 12 + 13;
  put_be32(phys + 8, ppm);
  put_be32(phys + 12, ppm);
  phys[16] = 1;  // metre
  frame_chunk(phys, "pHYs", 9);
}

}  // namespace

std::uint32_t ppm_from_dpi(double dpi) { return vision_core::round_to<std::uint32_t>(dpi / 0.0254); }

namespace {

// Creates or opens `path` for writing without waiting for a FIFO's reader and
// refusing the host's own streams; truncates a regular file only after that.
// No descriptor, with errno set, on failure.
UniqueFd open_for_writing(const std::string& path) {
  UniqueFd fd(open_without_waiting(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (!fd.valid()) return fd;
  struct stat info {};
  if (::fstat(fd.get(), &info) == 0 && (!S_ISREG(info.st_mode) || ::ftruncate(fd.get(), 0) == 0)) return fd;
  const int error = errno;
  fd.reset();
  errno = error;
  return fd;
}

}  // namespace

Done write_png_file(std::span<const std::uint8_t> pixels, std::uint32_t width, std::uint32_t height, PngColor color,
                    double dpi, const std::string& path) {
  // The input is checked before the file is touched, so a bad call leaves an
  // existing file as it was.
  const std::size_t channels = color == PngColor::rgba ? 4 : 3;
  const std::size_t stride = std::size_t{width} * channels;
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) {
    return make_error("save_failed: a " + std::to_string(width) + "x" + std::to_string(height) +
                      " image cannot be written as PNG");
  }
  std::size_t expected = 0;
  const bool overflow = __builtin_mul_overflow(stride, std::size_t{height}, &expected);
  if (overflow || pixels.size() != expected) {
    return make_error("save_failed: pixel buffer holds " + std::to_string(pixels.size()) + " bytes, expected " +
                      (overflow ? std::string("more than memory holds") : std::to_string(expected)) + " for " +
                      std::to_string(width) + "x" + std::to_string(height));
  }
  if (path.find('\0') != std::string::npos) {
    return make_error("save_failed: file name contained an unexpected NUL byte (" + utf8_lossy(path) + ")");
  }
  // Every row is filtered before the one-shot deflate; the compressed buffer
  // is sized for the worst case, but only the pages written are touched.
  const std::size_t filtered_size = (stride + 1) * height;
  const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
      libdeflate_alloc_compressor(kDeflateLevel));
  // Left uninitialised: every byte is written before it is read.
  const std::unique_ptr<std::uint8_t[]> filtered(new (std::nothrow) std::uint8_t[filtered_size]);
  const std::size_t bound = compressor != nullptr ? libdeflate_zlib_compress_bound(compressor.get(), filtered_size) : 0;
  const std::unique_ptr<std::uint8_t[]> compressed(new (std::nothrow) std::uint8_t[bound]);
  if (compressor == nullptr || filtered == nullptr || compressed == nullptr) {
    return make_error("save_failed: out of memory");
  }
  for (std::size_t y = 0; y < height; ++y) {
    png::sub_filter_row(pixels.data() + y * stride, stride, channels, filtered.get() + y * (stride + 1));
  }
  const std::size_t compressed_size =
      libdeflate_zlib_compress(compressor.get(), filtered.get(), filtered_size, compressed.get(), bound);
  if (compressed_size == 0) return make_error("save_failed: could not compress the image");

  std::uint8_t head[kHeadBytes];
  lay_out_head(head, width, height, color, ppm_from_dpi(dpi));
  std::uint8_t iend[12];
  frame_chunk(iend, "IEND", 0);

  UniqueFd fd = open_for_writing(path);
  if (!fd.valid()) return make_error("save_failed: " + os_error_text(errno) + " (" + utf8_lossy(path) + ")");
  int error = 0;
  if (!write_all(fd.get(), head, sizeof head) || !write_idat(fd.get(), compressed.get(), compressed_size) ||
      !write_all(fd.get(), iend, sizeof iend)) {
    error = errno;
  }
  // A failed close can mean the data never reached the disk.
  if (fd.close() != 0 && error == 0) error = errno;
  if (error != 0) return make_error("save_failed: " + os_error_text(error));
  return std::monostate{};
}

}  // namespace pelagon2::cv
