#include "cv/png_output.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>

#include "core/descriptor_io.h"
#include "core/host_streams.h"
#include "core/os_error.h"
#include "core/utf8.h"
#include "vision_core/rounding.h"

namespace pelagon2::cv {
namespace {

constexpr std::size_t kWriteBufferSize = 8 * 1024;

// Plain data only: libpng reports errors by longjmp, which must not skip a
// destructor.
struct WriteContext {
  int fd = -1;
  std::size_t used = 0;
  bool failed = false;
  char reason[256] = {};
  unsigned char buffer[kWriteBufferSize];
};

void set_os_reason(WriteContext* ctx, int errnum) {
  write_os_error_text(errnum, ctx->reason);
  ctx->failed = true;
}

bool flush_buffer(WriteContext* ctx) {
  if (!write_all(ctx->fd, ctx->buffer, ctx->used)) {
    set_os_reason(ctx, errno);
    return false;
  }
  ctx->used = 0;
  return true;
}

void on_error(png_structp png, png_const_charp message) {
  auto* ctx = static_cast<WriteContext*>(png_get_error_ptr(png));
  if (!ctx->failed) {  // a write error has already said what went wrong
    std::snprintf(ctx->reason, sizeof ctx->reason, "%s", message != nullptr ? message : "unknown PNG error");
    ctx->failed = true;
  }
  png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void on_write(png_structp png, png_bytep data, std::size_t length) {
  auto* ctx = static_cast<WriteContext*>(png_get_io_ptr(png));
  while (length > 0) {
    const std::size_t take = std::min(length, kWriteBufferSize - ctx->used);
    std::memcpy(ctx->buffer + ctx->used, data, take);
    ctx->used += take;
    data += take;
    length -= take;
    if (ctx->used == kWriteBufferSize && !flush_buffer(ctx)) png_error(png, "write failed");
  }
}

void on_flush(png_structp png) {
  auto* ctx = static_cast<WriteContext*>(png_get_io_ptr(png));
  if (!flush_buffer(ctx)) png_error(png, "write failed");
}

// Holds the setjmp frame; creates no object with a destructor.
bool encode_frame(png_structp png, png_infop info, const std::uint8_t* pixels, std::size_t stride,
                  std::uint32_t width, std::uint32_t height, int color_type, std::uint32_t ppm) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, width, height, 8, color_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_pHYs(png, info, ppm, ppm, PNG_RESOLUTION_METER);
  // Captures are written on the request path: speed matters more than size.
  // Level 1 with the default strategy measured as fast as run-length-only
  // deflate on screen content, with files about a tenth smaller.
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_compression_level(png, 1);
  png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
  png_write_info(png, info);
  for (std::uint32_t y = 0; y < height; ++y) png_write_row(png, pixels + y * stride);
  png_write_end(png, nullptr);
  return true;
}

class PngWriter {
 public:
  PngWriter(WriteContext* ctx) {
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, ctx, on_error, on_warning);
    if (png_ == nullptr) return;
    info_ = png_create_info_struct(png_);
    if (info_ == nullptr) return;
    png_set_write_fn(png_, ctx, on_write, on_flush);
  }
  ~PngWriter() {
    if (png_ != nullptr) png_destroy_write_struct(&png_, info_ != nullptr ? &info_ : nullptr);
  }
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;

  bool ready() const { return png_ != nullptr && info_ != nullptr; }
  png_structp png() { return png_; }
  png_infop info() { return info_; }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

}  // namespace

std::uint32_t ppm_from_dpi(double dpi) { return vision_core::round_to<std::uint32_t>(dpi / 0.0254); }

namespace {

// Creates or opens `path` for writing without waiting for a FIFO's reader and
// refusing the host's own streams; truncates a regular file only after that.
// -1 with errno set on failure.
int open_for_writing(const std::string& path) {
  const int fd = open_without_waiting(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && (!S_ISREG(info.st_mode) || ::ftruncate(fd, 0) == 0)) return fd;
  const int error = errno;
  ::close(fd);
  errno = error;
  return -1;
}

}  // namespace

Done write_png_file(std::span<const std::uint8_t> pixels, std::uint32_t width, std::uint32_t height, PngColor color,
                    double dpi, const std::string& path) {
  // The input is checked before the file is touched, so a bad call leaves an
  // existing file as it was.
  const std::size_t channels = color == PngColor::rgba ? 4 : 3;
  const std::size_t stride = std::size_t{width} * channels;
  if (width == 0 || height == 0 || width > PNG_UINT_31_MAX || height > PNG_UINT_31_MAX) {
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
  auto ctx = std::make_unique<WriteContext>();
  const int fd = open_for_writing(path);
  if (fd < 0) return make_error("save_failed: " + os_error_text(errno) + " (" + utf8_lossy(path) + ")");
  ctx->fd = fd;
  {
    PngWriter writer(ctx.get());
    if (!writer.ready()) {
      ::close(fd);
      return make_error("save_failed: out of memory");
    }
    if (encode_frame(writer.png(), writer.info(), pixels.data(), stride, width, height, static_cast<int>(color),
                     ppm_from_dpi(dpi))) {
      flush_buffer(ctx.get());
    }
  }
  // A failed close can mean the data never reached the disk.
  if (::close(fd) != 0 && !ctx->failed) set_os_reason(ctx.get(), errno);
  if (ctx->failed) return make_error(std::string("save_failed: ") + ctx->reason);
  return std::monostate{};
}

}  // namespace pelagon2::cv
