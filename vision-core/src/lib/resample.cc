// Separable resampling: vertical pass into single-precision rows, then a
// horizontal pass that clamps and rounds to 8 bits.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "match_kernels.h"
#include "resample_internal.h"
#include "vision_core/match.h"
#include "vision_core/rounding.h"

namespace vision_core {
namespace {

float triangle_kernel(float x) { return std::max(0.0f, 1.0f - std::fabs(x)); }

float sinc(float x) {
  if (x == 0.0f) return 1.0f;
  const float a = std::numbers::pi_v<float> * x;
  return std::sin(a) / a;
}

float lanczos3_kernel(float x) {
  if (std::fabs(x) >= 3.0f) return 0.0f;
  return sinc(x) * sinc(x / 3.0f);
}

}  // namespace

ResampleWeights resample_weights(std::uint32_t source_length, std::uint32_t target_length, ResampleFilter filter) {
  ResampleWeights out;
  out.first.resize(target_length);
  out.count.resize(target_length);
  out.offset.resize(target_length);
  if (source_length == 0 || target_length == 0) return out;
  const float support = filter == ResampleFilter::triangle ? 1.0f : 3.0f;
  const float ratio = static_cast<float>(source_length) / static_cast<float>(target_length);
  const float sigma = std::max(1.0f, ratio);
  const std::int64_t length = source_length;
  for (std::uint32_t i = 0; i < target_length; ++i) {
    const float centre = (static_cast<float>(i) + 0.5f) * ratio;
    std::int64_t left = saturate_to<std::int64_t>(std::floor(centre - support * sigma));
    left = std::min(std::max<std::int64_t>(left, 0), length - 1);
    std::int64_t right = saturate_to<std::int64_t>(std::ceil(centre + support * sigma));
    right = std::max(std::min(right, length), left + 1);
    const std::size_t offset = out.weights.size();
    float sum = 0.0f;
    for (std::int64_t k = left; k < right; ++k) {
      const float x = (static_cast<float>(k) - centre + 0.5f) / sigma;
      const float w = filter == ResampleFilter::triangle ? triangle_kernel(x) : lanczos3_kernel(x);
      out.weights.push_back(w);
      sum += w;
    }
    // A zero sum cannot occur for these kernels; guard against dividing by it anyway.
    if (sum != 0.0f) {
      for (std::size_t k = offset; k < out.weights.size(); ++k) out.weights[k] /= sum;
    }
    out.first[i] = static_cast<std::uint32_t>(left);
    out.count[i] = static_cast<std::uint32_t>(right - left);
    out.offset[i] = offset;
  }
  return out;
}

RgbImage resample(RgbView image, std::uint32_t width, std::uint32_t height, ResampleFilter filter) {
  RgbImage out(width, height);
  if (width == 0 || height == 0) return out;
  if (image.width == 0 || image.height == 0) return out;  // nothing to sample: black
  if (width == image.width && height == image.height) {
    const std::size_t row_bytes = std::size_t{width} * 3;
    for (std::uint32_t y = 0; y < height; ++y) {
      std::memcpy(out.pixels.data() + y * row_bytes, image.row(y), row_bytes);
    }
    return out;
  }

  const ResampleWeights vertical = resample_weights(image.height, height, filter);
  const ResampleWeights horizontal = resample_weights(image.width, width, filter);
  const std::size_t source_row = std::size_t{image.width} * 3;
  // One output row at a time: the vertical pass lands in `column` (single
  // precision, unrounded) and is consumed at once by the horizontal pass.
  std::vector<float> column(source_row);
  std::vector<const std::uint8_t*> rows;
  // Horizontal taps laid out tap-major so that neighbouring output pixels
  // are neighbouring lanes; short pixels get zero-weight taps.
  std::size_t taps = 0;
  for (std::uint32_t x = 0; x < width; ++x) taps = std::max<std::size_t>(taps, horizontal.count[x]);
  const std::size_t stride = std::size_t{width};
  std::vector<std::int32_t> tap_index(taps * stride, 0);
  std::vector<float> tap_weight(taps * stride, 0.0f);
  for (std::uint32_t x = 0; x < width; ++x) {
    for (std::size_t t = 0; t < taps; ++t) {
      const std::size_t k = std::min<std::size_t>(t, horizontal.count[x] - 1);
      tap_index[t * stride + x] = static_cast<std::int32_t>((horizontal.first[x] + k) * 3);
      if (t < horizontal.count[x]) tap_weight[t * stride + x] = horizontal.weights[horizontal.offset[x] + t];
    }
  }
  for (std::uint32_t y = 0; y < height; ++y) {
    rows.clear();
    for (std::uint32_t k = 0; k < vertical.count[y]; ++k) rows.push_back(image.row(vertical.first[y] + k));
    vertical_row(rows.data(), vertical.count[y], vertical.weights.data() + vertical.offset[y], source_row,
                 column.data());
    horizontal_row(column.data(), tap_index.data(), tap_weight.data(), taps, stride, width,
                   out.pixels.data() + std::size_t{y} * width * 3);
  }
  return out;
}

}  // namespace vision_core
