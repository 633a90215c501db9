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

namespace {

// Output pixels [begin, end) whose taps are the same weights at source
// pixels 4x + offset + t.
struct QuarterSpan {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  std::int64_t offset = 0;
};

QuarterSpan quarter_span(const ResampleWeights& weights, std::uint32_t width) {
  QuarterSpan span;
  if (width < 32) return span;
  const std::uint32_t mid = width / 2;
  const std::int64_t offset = std::int64_t{weights.first[mid]} - 4 * std::int64_t{mid};
  const std::uint32_t count = weights.count[mid];
  const float* reference = weights.weights.data() + weights.offset[mid];
  auto same = [&](std::uint32_t x) {
    return weights.count[x] == count && std::int64_t{weights.first[x]} == 4 * std::int64_t{x} + offset &&
           std::memcmp(weights.weights.data() + weights.offset[x], reference, count * sizeof(float)) == 0;
  };
  std::uint32_t begin = mid, end = mid + 1;
  while (begin > 0 && same(begin - 1)) --begin;
  while (end < width && same(end)) ++end;
  if (end - begin < 16) return span;
  span.begin = begin;
  span.end = end;
  span.offset = offset;
  return span;
}

// The horizontal pass for output pixels [begin, end), one at a time.
void horizontal_pixels(const float* column, const ResampleWeights& horizontal, std::uint32_t begin,
                       std::uint32_t end, std::uint8_t* out) {
  for (std::uint32_t x = begin; x < end; ++x) {
    const float* w = horizontal.weights.data() + horizontal.offset[x];
    const float* src = column + std::size_t{horizontal.first[x]} * 3;
    for (std::size_t c = 0; c < 3; ++c) {
      float acc = 0.0f;
      for (std::uint32_t k = 0; k < horizontal.count[x]; ++k) acc += w[k] * src[3 * k + c];
      out[3 * x + c] = round_to<std::uint8_t>(std::clamp(acc, 0.0f, 255.0f));
    }
  }
}

}  // namespace

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
  const std::size_t padded_width =
      (std::size_t{image.width} + 4 * kMaxFloatLanes - 1) / (4 * kMaxFloatLanes) * (4 * kMaxFloatLanes);
  std::vector<float> column(3 * padded_width, 0.0f);
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
  // A reduction by exactly four (the coarse search) has the same taps for
  // every inner pixel, four source pixels apart: contiguous loads.
  const QuarterSpan quarter = quarter_span(horizontal, width);
  std::vector<float> scratch(quarter.end > quarter.begin ? 6 * padded_width : 0);
  for (std::uint32_t y = 0; y < height; ++y) {
    rows.clear();
    for (std::uint32_t k = 0; k < vertical.count[y]; ++k) rows.push_back(image.row(vertical.first[y] + k));
    vertical_row(rows.data(), vertical.count[y], vertical.weights.data() + vertical.offset[y], source_row,
                 column.data());
    std::uint8_t* out_row = out.pixels.data() + std::size_t{y} * width * 3;
    if (quarter.end > quarter.begin) {
      quarter_row(column.data(), padded_width, scratch.data(), quarter.offset,
                  horizontal.weights.data() + horizontal.offset[quarter.begin], horizontal.count[quarter.begin],
                  quarter.begin, quarter.end, out_row);
      horizontal_pixels(column.data(), horizontal, 0, quarter.begin, out_row);
      horizontal_pixels(column.data(), horizontal, quarter.end, width, out_row);
    } else {
      horizontal_row(column.data(), tap_index.data(), tap_weight.data(), taps, stride, width, out_row);
    }
  }
  return out;
}

}  // namespace vision_core
