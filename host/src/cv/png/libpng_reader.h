#pragma once
// libpng's read structures over a PNG held in memory, and the calls into it
// that can fail. libpng reports errors by longjmp: each call below holds its
// own setjmp frame and returns false with the reason in the context.

#include <png.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace pelagon2::cv::png {

// Everything libpng's callbacks touch. Plain data only: libpng reports errors
// by longjmp, which must not skip a destructor.
struct ReadContext {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t offset = 0;
  png_infop info = nullptr;
  bool stop_at_frame_data = false;
  bool reached_frame_data = false;
  char reason[256] = {};
};

// Owns the libpng read structures for one decode.
class PngReader {
 public:
  explicit PngReader(std::span<const std::uint8_t> bytes);
  ~PngReader();
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

// Reads the chunks up to the first image data.
bool read_info_frame(png_structp png, png_infop info);

// Sets libpng's transforms to 8-bit RGB; `passes` gets the interlace passes.
bool prepare_rgb8_frame(png_structp png, png_infop info, int* passes);

// Reads every row (and pass) into `pixels`, rows `stride` bytes apart.
bool read_rows_frame(png_structp png, png_bytep pixels, std::size_t stride, std::uint32_t height, int passes);

}  // namespace pelagon2::cv::png
