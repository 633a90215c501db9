#include "cv/png/filters.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace pelagon2::cv::png {
namespace {

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

}  // namespace

// An unfiltered RGBA row as RGB.
void drop_alpha(const std::uint8_t* row, std::uint8_t* out, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) {
    out[3 * x] = row[4 * x];
    out[3 * x + 1] = row[4 * x + 1];
    out[3 * x + 2] = row[4 * x + 2];
  }
}

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

template bool unfilter_row<3>(std::uint8_t, const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t);
template bool unfilter_row<4>(std::uint8_t, const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t);

}  // namespace pelagon2::cv::png
