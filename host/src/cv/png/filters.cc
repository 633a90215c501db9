// Compiled once per CPU target and chosen at run time: the unfilters run for
// every byte of a decoded image, the Sub filter for every byte of a capture.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "cv/png/filters.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>

#include "cv/png/filters.h"

HWY_BEFORE_NAMESPACE();
namespace pelagon2::cv::png {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Whole vectors first, then 16-byte ones, then single bytes. Each vector is
// loaded before it is stored, and the next load starts past the store's end
// (`dst` starts before `src` if they share a buffer).
template <class D>
HWY_INLINE std::size_t UpBlocks(D d, std::size_t i, const std::uint8_t* src, const std::uint8_t* prior,
                                std::uint8_t* dst, std::size_t n) {
  for (; i + hn::Lanes(d) <= n; i += hn::Lanes(d)) {
    hn::StoreU(hn::Add(hn::LoadU(d, src + i), hn::LoadU(d, prior + i)), d, dst + i);
  }
  return i;
}

void UnfilterUp(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t n) {
  std::size_t i = UpBlocks(hn::ScalableTag<std::uint8_t>(), 0, src, prior, dst, n);
  i = UpBlocks(hn::CappedTag<std::uint8_t, 16>(), i, src, prior, dst, n);
  for (; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prior[i]);
}

template <class D>
HWY_INLINE std::size_t SubBlocks(D d, std::size_t i, const std::uint8_t* row, std::size_t bpp, std::uint8_t* out,
                                 std::size_t n) {
  for (; i + hn::Lanes(d) <= n; i += hn::Lanes(d)) {
    hn::StoreU(hn::Sub(hn::LoadU(d, row + i), hn::LoadU(d, row + i - bpp)), d, out + i);
  }
  return i;
}

void SubFilterRow(const std::uint8_t* row, std::size_t row_bytes, std::size_t bpp, std::uint8_t* out) {
  const std::size_t head = bpp < row_bytes ? bpp : row_bytes;
  std::memcpy(out, row, head);
  std::size_t i = SubBlocks(hn::ScalableTag<std::uint8_t>(), head, row, bpp, out, row_bytes);
  i = SubBlocks(hn::CappedTag<std::uint8_t, 16>(), i, row, bpp, out, row_bytes);
  for (; i < row_bytes; ++i) out[i] = static_cast<std::uint8_t>(row[i] - row[i - bpp]);
}

// The plain form of Sub, Average and Paeth, for what the vectors leave.
template <std::size_t Bpp>
void UnfilterSubFrom(std::size_t begin, const std::uint8_t* src, std::uint8_t* dst, std::size_t n) {
  for (std::size_t k = begin; k < n; ++k) dst[k] = static_cast<std::uint8_t>(src[k] + (k >= Bpp ? dst[k - Bpp] : 0));
}

#if HWY_TARGET != HWY_SCALAR
// The Sub filter 16 bytes at a time: within the register a prefix sum at the
// pixel distance, seeded with the last finished pixel. Three-byte pixels
// advance by 15 so that each block starts on a pixel; the 16th byte stored is
// already final. Byte shifts stay within 128 bits on every target, so the
// block is 128 bits wide everywhere.
template <std::size_t Bpp>
void UnfilterSub(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) {
  const hn::Full128<std::uint8_t> d;
  constexpr std::size_t kStep = Bpp == 3 ? 15 : 16;
  auto left = hn::Zero(d);  // the pixel before the block, in the low lanes
  std::size_t i = 0;
  for (; i + 16 <= n; i += kStep) {
    auto x = hn::Add(hn::LoadU(d, src + i), left);
    x = hn::Add(x, hn::ShiftLeftBytes<Bpp>(d, x));
    x = hn::Add(x, hn::ShiftLeftBytes<2 * Bpp>(d, x));
    if constexpr (Bpp == 3) x = hn::Add(x, hn::ShiftLeftBytes<12>(d, x));
    hn::StoreU(x, d, dst + i);
    if constexpr (Bpp == 3) {
      left = hn::ShiftRightBytes<13>(d, hn::ShiftLeftBytes<1>(d, x));  // bytes 12..14
    } else {
      left = hn::ShiftRightBytes<12>(d, x);
    }
  }
  UnfilterSubFrom<Bpp>(i, src, dst, n);
}

// Average and Paeth depend on the pixel just finished, so they go one pixel
// at a time with its channels side by side in one four-lane vector. Every
// pixel but a row's last is moved as four bytes: the extra byte read belongs
// to the next pixel, and the extra byte written is rewritten with the next
// pixel (in place, it lies behind everything still to be read). Channels
// never mix, so the extra lane is left as it is. A row's last pixel moves
// exactly, so nothing reaches past the row (the rows around it may be another
// row's input, or the buffer's end). Three bytes are put together in a
// general register: a copy through memory would make the load wait on a
// store it only partly overlaps.
using PixelTag = hn::FixedTag<std::uint8_t, 4>;
using PixelBits = hn::FixedTag<std::uint32_t, 1>;

template <std::size_t N>
HWY_INLINE hn::Vec<PixelTag> LoadPixel(const std::uint8_t* p) {
  std::uint32_t v = 0;
  if constexpr (N == 4) {
    std::memcpy(&v, p, 4);
  } else {
    v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
  }
  return hn::BitCast(PixelTag(), hn::Set(PixelBits(), v));
}

template <std::size_t N>
HWY_INLINE void StorePixel(std::uint8_t* p, hn::Vec<PixelTag> x) {
  const std::uint32_t v = hn::GetLane(hn::BitCast(PixelBits(), x));
  if constexpr (N == 4) {
    std::memcpy(p, &v, 4);
  } else {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
  }
}

// One pixel of Average: x + floor((left + above) / 2) per byte; returns the
// new left.
template <std::size_t N>
HWY_INLINE hn::Vec<PixelTag> AveragePixel(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst,
                                          hn::Vec<PixelTag> left) {
  const auto above = LoadPixel<N>(prior);
  // The rounding-up average, less the bit it rounded up by.
  const auto floor_mean =
      hn::Sub(hn::AverageRound(left, above), hn::And(hn::Xor(left, above), hn::Set(PixelTag(), 1)));
  left = hn::Add(LoadPixel<N>(src), floor_mean);
  StorePixel<N>(dst, left);
  return left;
}

// Left starts at 0. Pixels move as four bytes while four stay inside the row.
template <std::size_t Bpp>
void UnfilterAverage(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t n) {
  auto left = hn::Zero(PixelTag());
  std::size_t k = 0;
  for (; k + 4 <= n; k += Bpp) left = AveragePixel<4>(src + k, prior + k, dst + k, left);
  for (; k + Bpp <= n; k += Bpp) left = AveragePixel<Bpp>(src + k, prior + k, dst + k, left);
}

// One pixel of Paeth: x + the predictor per byte, in 16-bit lanes. The sums
// with all three candidates are formed up front and two comparisons pick one,
// which keeps the chain from one pixel to the next short.
using PaethTag = hn::Rebind<std::int16_t, PixelTag>;

template <std::size_t N>
HWY_INLINE void PaethPixel(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst,
                           hn::Vec<PaethTag>& a, hn::Vec<PaethTag>& c) {
  const PaethTag d16;
  const hn::Rebind<std::uint16_t, PixelTag> du16;
  const auto low_byte = hn::Set(d16, 0xFF);
  const auto b = hn::BitCast(d16, hn::PromoteTo(du16, LoadPixel<N>(prior)));
  const auto x = hn::BitCast(d16, hn::PromoteTo(du16, LoadPixel<N>(src)));
  const auto bc = hn::Sub(b, c);
  const auto ac = hn::Sub(a, c);
  const auto pa = hn::Abs(bc);               // |p - a|
  const auto pb = hn::Abs(ac);               // |p - b|
  const auto pc = hn::Abs(hn::Add(bc, ac));  // |p - c|
  // a unless another distance is smaller; then b unless c's is smaller.
  const auto not_a = hn::Or(hn::Gt(pa, pb), hn::Gt(pa, pc));
  const auto use_c = hn::Gt(pb, pc);
  const auto with_a = hn::And(hn::Add(x, a), low_byte);
  const auto with_b = hn::And(hn::Add(x, b), low_byte);
  const auto with_c = hn::And(hn::Add(x, c), low_byte);
  a = hn::IfThenElse(not_a, hn::IfThenElse(use_c, with_c, with_b), with_a);
  StorePixel<N>(dst, hn::DemoteTo(PixelTag(), a));
  c = b;
}

// Left and upper-left start at 0, which makes the first pixel's predictor the
// byte above.
template <std::size_t Bpp>
void UnfilterPaeth(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t n) {
  auto a = hn::Zero(PaethTag());  // left
  auto c = hn::Zero(PaethTag());  // upper left
  std::size_t k = 0;
  for (; k + 4 <= n; k += Bpp) PaethPixel<4>(src + k, prior + k, dst + k, a, c);
  for (; k + Bpp <= n; k += Bpp) PaethPixel<Bpp>(src + k, prior + k, dst + k, a, c);
}
#else
template <std::size_t Bpp>
void UnfilterSub(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) {
  UnfilterSubFrom<Bpp>(0, src, dst, n);
}

template <std::size_t Bpp>
void UnfilterAverage(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const unsigned left = k >= Bpp ? dst[k - Bpp] : 0u;
    dst[k] = static_cast<std::uint8_t>(src[k] + ((left + prior[k]) >> 1));
  }
}

template <std::size_t Bpp>
void UnfilterPaeth(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const int a = k >= Bpp ? dst[k - Bpp] : 0;
    const int b = prior[k];
    const int c = k >= Bpp ? prior[k - Bpp] : 0;
    const int pa = b > c ? b - c : c - b;
    const int pb = a > c ? a - c : c - a;
    const int pc = a + b - 2 * c > 0 ? a + b - 2 * c : 2 * c - a - b;
    const int p = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
    dst[k] = static_cast<std::uint8_t>(src[k] + p);
  }
}
#endif

template <std::size_t Bpp>
bool UnfilterRowOf(std::uint8_t type, const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst,
                   std::size_t n) {
  switch (type) {
    case 0:
      std::memmove(dst, src, n);
      return true;
    case 1:
      UnfilterSub<Bpp>(src, dst, n);
      return true;
    case 2:
      UnfilterUp(src, prior, dst, n);
      return true;
    case 3:
      UnfilterAverage<Bpp>(src, prior, dst, n);
      return true;
    case 4:
      UnfilterPaeth<Bpp>(src, prior, dst, n);
      return true;
    default:
      return false;
  }
}

bool UnfilterRow(std::size_t bpp, std::uint8_t type, const std::uint8_t* src, const std::uint8_t* prior,
                 std::uint8_t* dst, std::size_t n) {
  if (bpp == 3) return UnfilterRowOf<3>(type, src, prior, dst, n);
  if (bpp == 4) return UnfilterRowOf<4>(type, src, prior, dst, n);
  return false;
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace pelagon2::cv::png
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pelagon2::cv::png {

HWY_EXPORT(UnfilterRow);
HWY_EXPORT(SubFilterRow);

bool unfilter_row(std::size_t bpp, std::uint8_t type, const std::uint8_t* src, const std::uint8_t* prior,
                  std::uint8_t* dst, std::size_t n) {
  return HWY_DYNAMIC_DISPATCH(UnfilterRow)(bpp, type, src, prior, dst, n);
}

void sub_filter_row(const std::uint8_t* row, std::size_t row_bytes, std::size_t bpp, std::uint8_t* out) {
  *out = 1;  // Sub
  HWY_DYNAMIC_DISPATCH(SubFilterRow)(row, row_bytes, bpp, out + 1);
}

void drop_alpha(const std::uint8_t* row, std::uint8_t* out, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) {
    out[3 * x] = row[4 * x];
    out[3 * x + 1] = row[4 * x + 1];
    out[3 * x + 2] = row[4 * x + 2];
  }
}

}  // namespace pelagon2::cv::png
#endif  // HWY_ONCE
