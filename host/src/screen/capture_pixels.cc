// Compiled once per CPU target and chosen at run time: a large screen is
// millions of pixels, and a byte-shuffling loop is several times slower than
// the memory it walks.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "screen/capture_pixels.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "screen/capture_pixels.h"

HWY_BEFORE_NAMESPACE();
namespace pelagon2::screen {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void BgraToRgb(const std::uint8_t* src, std::uint8_t* dst, std::size_t count) {
  const hn::ScalableTag<std::uint8_t> d;
  const std::size_t n = hn::Lanes(d);
  std::size_t i = 0;
  for (; i + n <= count; i += n) {
    hn::Vec<decltype(d)> b, g, r, a;
    hn::LoadInterleaved4(d, src + 4 * i, b, g, r, a);
    hn::StoreInterleaved3(r, g, b, d, dst + 3 * i);
  }
  for (; i < count; ++i) {
    dst[3 * i] = src[4 * i + 2];
    dst[3 * i + 1] = src[4 * i + 1];
    dst[3 * i + 2] = src[4 * i];
  }
}

void BgraToRgba(const std::uint8_t* src, std::uint8_t* dst, std::size_t count, bool opaque) {
  const hn::ScalableTag<std::uint8_t> d;
  const std::size_t n = hn::Lanes(d);
  const auto full = hn::Set(d, 0xFF);
  std::size_t i = 0;
  for (; i + n <= count; i += n) {
    hn::Vec<decltype(d)> b, g, r, a;
    hn::LoadInterleaved4(d, src + 4 * i, b, g, r, a);
    hn::StoreInterleaved4(r, g, b, opaque ? full : a, d, dst + 4 * i);
  }
  for (; i < count; ++i) {
    dst[4 * i] = src[4 * i + 2];
    dst[4 * i + 1] = src[4 * i + 1];
    dst[4 * i + 2] = src[4 * i];
    dst[4 * i + 3] = opaque ? 0xFF : src[4 * i + 3];
  }
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace pelagon2::screen
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pelagon2::screen {

HWY_EXPORT(BgraToRgb);
HWY_EXPORT(BgraToRgba);

void bgra_to_rgb(const std::uint8_t* src, std::uint8_t* dst, std::size_t count) {
  HWY_DYNAMIC_DISPATCH(BgraToRgb)(src, dst, count);
}

void bgra_to_rgba(const std::uint8_t* src, std::uint8_t* dst, std::size_t count, bool opaque) {
  HWY_DYNAMIC_DISPATCH(BgraToRgba)(src, dst, count, opaque);
}

}  // namespace pelagon2::screen
#endif  // HWY_ONCE
