#include "cv/png_input.h"

#include <libdeflate.h>
#include <png.h>
#include <zlib.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "vision_core/rounding.h"

namespace pelagon2::cv {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

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

void on_error(png_structp png, png_const_charp message) {
  auto* ctx = static_cast<ReadContext*>(png_get_error_ptr(png));
  std::snprintf(ctx->reason, sizeof ctx->reason, "%s", message != nullptr ? message : "unknown PNG error");
  png_longjmp(png, 1);
}

// The host writes nothing to stderr; libpng's warnings are about damage it
// has already recovered from.
void on_warning(png_structp, png_const_charp) {}

void on_read(png_structp png, png_bytep out, std::size_t length) {
  auto* ctx = static_cast<ReadContext*>(png_get_io_ptr(png));
  if (length > ctx->size - ctx->offset) png_error(png, "unexpected end of PNG data");
  std::memcpy(out, ctx->data + ctx->offset, length);
  ctx->offset += length;
}

// An animated PNG's frame data ends the header just as IDAT does, but only
// after an IHDR: frame data first leaves no header to report.
int on_unknown_chunk(png_structp png, png_unknown_chunkp chunk) {
  auto* ctx = static_cast<ReadContext*>(png_get_user_chunk_ptr(png));
  if (ctx->stop_at_frame_data && std::memcmp(chunk->name, "fdAT", 4) == 0) {
    if (png_get_image_width(png, ctx->info) == 0) png_chunk_error(png, "missing IHDR");
    ctx->reached_frame_data = true;
    png_error(png, "frame data reached");
  }
  return 0;  // let libpng apply its default (ancillary chunks are skipped)
}

// Owns the libpng read structures for one decode.
class PngReader {
 public:
  PngReader(std::span<const std::uint8_t> bytes) {
    ctx_.data = bytes.data();
    ctx_.size = bytes.size();
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx_, on_error, on_warning);
    if (png_ == nullptr) return;
    info_ = png_create_info_struct(png_);
    if (info_ == nullptr) return;
    ctx_.info = info_;
    png_set_read_fn(png_, &ctx_, on_read);
    png_set_read_user_chunk_fn(png_, &ctx_, on_unknown_chunk);
  }
  ~PngReader() {
    if (png_ != nullptr) png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr);
  }
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

// The functions below hold the setjmp frames. They create no object with a
// destructor, so a longjmp out of libpng skips nothing.

bool read_info_frame(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  return true;
}

bool prepare_rgb8_frame(png_structp png, png_infop info, int* passes) {
  if (setjmp(png_jmpbuf(png))) return false;
  const png_byte color_type = png_get_color_type(png, info);
  const png_byte bit_depth = png_get_bit_depth(png, info);
  if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (color_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  // Palette expansion turns tRNS into an alpha channel; every alpha goes.
  png_set_strip_alpha(png);
  if (bit_depth == 16) png_set_scale_16(png);
  *passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return true;
}

// Each pass of an interlaced image adds its pixels to the same rows, so the
// rows are the output buffer itself and nothing is copied afterwards.
bool read_rows_frame(png_structp png, png_bytep pixels, std::size_t stride, std::uint32_t height, int passes) {
  if (setjmp(png_jmpbuf(png))) return false;
  for (int pass = 0; pass < passes; ++pass) {
    for (std::uint32_t y = 0; y < height; ++y) png_read_row(png, pixels + y * stride, nullptr);
  }
  return true;
}

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

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


// Direct path for non-interlaced 8-bit RGB and RGBA, the layout of nearly
// every screenshot. libpng has already validated the header and every chunk
// before the first IDAT. The whole stream is normally inflated in one call
// (below); the streaming form here handles every stream that call declines:
// it inflates in blocks of rows and unfilters each row straight into the
// output image (RGB) or into one of two RGBA rows whose colour then goes to
// the output.

constexpr std::size_t kInflateBlockBytes = 256 * 1024;

// Runs `step(index, state)` over every byte of a row, one state per channel.
// The states are separate scalars so they stay in registers: an array here
// gets turned into re-loads of the bytes just stored, which is several times
// slower.
template <std::size_t Bpp, class Step>
void each_channel(std::size_t begin, std::size_t n, unsigned s0, unsigned s1, unsigned s2, unsigned s3, Step step) {
  for (std::size_t i = begin; i < n; i += Bpp) {
    s0 = step(i, s0);
    s1 = step(i + 1, s1);
    s2 = step(i + 2, s2);
    if constexpr (Bpp == 4) s3 = step(i + 3, s3);
  }
}

inline unsigned paeth_predictor(int a, int b, int c) {
  const int pa = std::abs(b - c);
  const int pb = std::abs(a - c);
  const int pc = std::abs(a + b - 2 * c);
  return static_cast<unsigned>((pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c));
}

#if defined(__SSE2__)
// The Sub filter 16 bytes at a time: within the register a prefix sum at the
// pixel distance, seeded with the last finished pixel. Three-byte pixels
// advance by 15 so that each block starts on a pixel; the 16th byte stored is
// already final. Returns how far it got; fewer than 16 bytes remain.
template <std::size_t Bpp>
std::size_t unfilter_sub_sse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) {
  constexpr std::size_t kStep = Bpp == 3 ? 15 : 16;
  __m128i left = _mm_setzero_si128();  // the pixel before the block, in the low lanes
  std::size_t i = 0;
  for (; i + 16 <= n; i += kStep) {
    __m128i x = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)), left);
    x = _mm_add_epi8(x, _mm_slli_si128(x, Bpp));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 2 * Bpp));
    if constexpr (Bpp == 3) x = _mm_add_epi8(x, _mm_slli_si128(x, 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), x);
    if constexpr (Bpp == 3) {
      left = _mm_srli_si128(_mm_slli_si128(x, 1), 13);  // bytes 12..14
    } else {
      left = _mm_srli_si128(x, 12);
    }
  }
  return i;
}

// Average and Paeth depend on the pixel just finished, so they go one pixel
// at a time with its channels side by side in one register. Pixels move
// through 32-bit values. Every pixel but a row's last is moved as four bytes:
// the extra byte read belongs to the next pixel, and the extra byte written
// is rewritten with the next pixel (in place, it lies behind everything still
// to be read). Channels never mix, so the extra lane is left as it is. A
// row's last pixel moves exactly, so nothing reaches past the row (the rows
// around it may be another row's input, or the buffer's end). Three bytes are
// put together in a general register: a copy through memory would make the
// load wait on a store it only partly overlaps.
template <std::size_t N>
__m128i load_pixel(const std::uint8_t* p) {
  std::uint32_t v = 0;
  if constexpr (N == 4) {
    std::memcpy(&v, p, 4);
  } else {
    v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
  }
  return _mm_cvtsi32_si128(static_cast<int>(v));
}

template <std::size_t N>
void store_pixel(std::uint8_t* p, __m128i x) {
  const auto v = static_cast<std::uint32_t>(_mm_cvtsi128_si32(x));
  if constexpr (N == 4) {
    std::memcpy(p, &v, 4);
  } else {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
  }
}

// Runs `step(k, width)` for each pixel: width 4 while four bytes stay inside
// the row, then Bpp.
template <std::size_t Bpp, class Step>
void each_pixel(std::size_t n, Step step) {
  std::size_t k = 0;
  for (; k + 4 <= n; k += Bpp) step(k, std::integral_constant<std::size_t, 4>{});
  for (; k < n; k += Bpp) step(k, std::integral_constant<std::size_t, Bpp>{});
}

// x + floor((left + above) / 2) per byte, left starting at 0.
template <std::size_t Bpp>
void unfilter_average_sse2(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t n) {
  const __m128i ones = _mm_set1_epi8(1);
  __m128i left = _mm_setzero_si128();
  each_pixel<Bpp>(n, [&](std::size_t k, auto width) {
    constexpr std::size_t N = decltype(width)::value;
    const __m128i above = load_pixel<N>(prior + k);
    // The rounding-up average, less the bit it rounded up by.
    const __m128i floor_mean = _mm_sub_epi8(_mm_avg_epu8(left, above), _mm_and_si128(_mm_xor_si128(left, above), ones));
    left = _mm_add_epi8(load_pixel<N>(src + k), floor_mean);
    store_pixel<N>(dst + k, left);
  });
}

// x + the Paeth predictor per byte, in 16-bit lanes; left and upper-left
// start at 0, which makes the first pixel's predictor the byte above. The
// sums with all three candidates are formed up front and two comparisons
// pick one, which keeps the chain from one pixel to the next short.
inline __m128i abs_epi16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

inline __m128i blend(__m128i mask, __m128i if_set, __m128i if_clear) {
  return _mm_or_si128(_mm_and_si128(mask, if_set), _mm_andnot_si128(mask, if_clear));
}

template <std::size_t Bpp>
void unfilter_paeth_sse2(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t n) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i low_byte = _mm_set1_epi16(0xFF);
  __m128i a = zero;  // left
  __m128i c = zero;  // upper left
  each_pixel<Bpp>(n, [&](std::size_t k, auto width) {
    constexpr std::size_t N = decltype(width)::value;
    const __m128i b = _mm_unpacklo_epi8(load_pixel<N>(prior + k), zero);
    const __m128i x = _mm_unpacklo_epi8(load_pixel<N>(src + k), zero);
    const __m128i bc = _mm_sub_epi16(b, c);
    const __m128i ac = _mm_sub_epi16(a, c);
    const __m128i pa = abs_epi16(bc);                     // |p - a|
    const __m128i pb = abs_epi16(ac);                     // |p - b|
    const __m128i pc = abs_epi16(_mm_add_epi16(bc, ac));  // |p - c|
    // a unless another distance is smaller; then b unless c's is smaller.
    const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    const __m128i use_c = _mm_cmpgt_epi16(pb, pc);
    const __m128i with_a = _mm_and_si128(_mm_add_epi16(x, a), low_byte);
    const __m128i with_b = _mm_and_si128(_mm_add_epi16(x, b), low_byte);
    const __m128i with_c = _mm_and_si128(_mm_add_epi16(x, c), low_byte);
    a = blend(not_a, blend(use_c, with_c, with_b), with_a);
    store_pixel<N>(dst + k, _mm_packus_epi16(a, zero));
    c = b;
  });
}
#endif

// An unfiltered RGBA row as RGB.
void drop_alpha(const std::uint8_t* row, std::uint8_t* out, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) {
    out[3 * x] = row[4 * x];
    out[3 * x + 1] = row[4 * x + 1];
    out[3 * x + 2] = row[4 * x + 2];
  }
}

// One scanline filter. `prior` is the unfiltered row above (all zeros for the
// first row); bytes left of the row count as 0. `dst` may start before `src`
// in the same buffer: each byte is read before anything at or after it is
// written.
template <std::size_t Bpp>
bool unfilter_row(std::uint8_t type, const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst,
                  std::size_t n) {
  switch (type) {
    case 0:
      std::memmove(dst, src, n);
      return true;
    case 1: {
      std::size_t done = 0;
#if defined(__SSE2__)
      done = unfilter_sub_sse2<Bpp>(src, dst, n);
#endif
      if (done > 0) {
        for (std::size_t k = done; k < n; ++k) dst[k] = static_cast<std::uint8_t>(src[k] + dst[k - Bpp]);
        return true;
      }
      each_channel<Bpp>(0, n, 0, 0, 0, 0, [&](std::size_t k, unsigned left) {
        const unsigned v = (src[k] + left) & 0xFFu;
        dst[k] = static_cast<std::uint8_t>(v);
        return v;
      });
      return true;
    }
    case 2: {
      // Eight bytewise sums at a time in a 64-bit word (carries kept out of
      // the neighbouring bytes); the compiler cannot vectorise the plain loop
      // because the rows might overlap as far as it knows.
      constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
      constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
      std::size_t i = 0;
      for (; i + 8 <= n; i += 8) {
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        std::memcpy(&a, src + i, 8);
        std::memcpy(&b, prior + i, 8);
        const std::uint64_t sum = ((a & kLow7) + (b & kLow7)) ^ ((a ^ b) & kHigh);
        std::memcpy(dst + i, &sum, 8);
      }
      for (; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prior[i]);
      return true;
    }
    case 3:
#if defined(__SSE2__)
      unfilter_average_sse2<Bpp>(src, prior, dst, n);
#else
      each_channel<Bpp>(0, n, 0, 0, 0, 0, [&](std::size_t k, unsigned left) {
        const unsigned v = (src[k] + ((left + prior[k]) >> 1)) & 0xFFu;
        dst[k] = static_cast<std::uint8_t>(v);
        return v;
      });
#endif
      return true;
    case 4: {
#if defined(__SSE2__)
      unfilter_paeth_sse2<Bpp>(src, prior, dst, n);
#else
      // With nothing to the left the predictor is the byte above.
      for (std::size_t c = 0; c < Bpp && c < n; ++c) dst[c] = static_cast<std::uint8_t>(src[c] + prior[c]);
      each_channel<Bpp>(Bpp, n, dst[0], dst[1], dst[2], Bpp == 4 ? dst[3] : 0, [&](std::size_t k, unsigned left) {
        const unsigned p = paeth_predictor(static_cast<int>(left), prior[k], prior[k - Bpp]);
        const unsigned v = (src[k] + p) & 0xFFu;
        dst[k] = static_cast<std::uint8_t>(v);
        return v;
      });
#endif
      return true;
    }
    default:
      return false;
  }
}

// The concatenated data of consecutive IDAT chunks, CRC-checked as read.
class IdatStream {
 public:
  explicit IdatStream(std::span<const std::uint8_t> file) : file_(file) {}

  // Moves to the first IDAT chunk.
  const char* start() {
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

  // The next IDAT chunk's data into `data`/`size`; false with `error` set
  // when the chunk is damaged, false with `error` null when the IDATs ended.
  bool next(const std::uint8_t** data, std::size_t* size, const char** error) {
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

 private:
  std::span<const std::uint8_t> file_;
  std::size_t next_ = 0;
};

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
        if (!unfilter_row<3>(src[0], src + 1, prior, out, width * 3)) return "bad adaptive filter value";
        prior = out;
      } else {
        std::uint8_t* row = rgba.data() + (y % 2) * width * 4;
        if (!unfilter_row<4>(src[0], src + 1, prior, row, width * 4)) return "bad adaptive filter value";
        drop_alpha(row, out, width);
        prior = row;
      }
    }
  }
  return nullptr;
}

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
    if (!unfilter_row<Bpp>(src[0], src + 1, prior, row, stride)) return "bad adaptive filter value";
    row_done(y, row);
    prior = row;
  }
  return nullptr;
}

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
