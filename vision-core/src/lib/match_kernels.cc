// Vectorised inner loops of the matcher and of resampling, compiled once per
// CPU target and chosen at run time. Every kernel performs, lane by lane, the
// same integer or floating-point operations as the plain loops it replaces,
// so results do not depend on the target.

// Also build for CPUs with byte dot products (AVX-512 VNNI).
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "match_kernels.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "match_kernels.h"
#include "vision_core/rounding.h"

#if HWY_TARGET == HWY_AVX3_DL
#include <immintrin.h>
#endif

HWY_BEFORE_NAMESPACE();
namespace vision_core {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Cross products of R consecutive map rows over blocks of K vectors of
// placements. For a placement x, lane pairs (x + 2q, x + 2q + 1) of a haystack
// row are multiplied by the pattern pair (2q, 2q + 1) and summed into 32 bits:
// loading at x gives the even placements of a block, at x + 1 the odd ones.
template <int R, int K>
void CrossBlocks(const CrossJob& job) {
  const hn::ScalableTag<std::int16_t> d16;
  const hn::Repartition<std::int32_t, decltype(d16)> d32;
  using V32 = hn::Vec<decltype(d32)>;
  const std::size_t lanes = hn::Lanes(d16);
  const std::size_t half = lanes / 2;
  const std::size_t block = lanes * K;
  alignas(64) std::int32_t even[HWY_MAX_BYTES / 4];
  alignas(64) std::int32_t odd[HWY_MAX_BYTES / 4];

  for (std::size_t x0 = 0; x0 < job.count; x0 += block) {
    V32 acc_even[R][K], acc_odd[R][K], spare_even[R][K], spare_odd[R][K];
    _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i)
      _Pragma("GCC unroll 16") for (int k = 0; k < K; ++k) {
        acc_even[i][k] = hn::Zero(d32);
        acc_odd[i][k] = hn::Zero(d32);
        spare_even[i][k] = hn::Zero(d32);
        spare_odd[i][k] = hn::Zero(d32);
      }
    for (std::size_t j = job.row_begin; j < job.row_end; ++j) {
      const std::int16_t* row = static_cast<const std::int16_t*>(job.rows[j]) + x0;
      const std::int32_t* coef[R];
      // Map row i of the block meets haystack row j with pattern row j - i;
      // the coefficient table has R - 1 zero rows on either side.
      _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) coef[i] = job.coefficients + (j + R - 1 - static_cast<std::size_t>(i)) * job.groups;
      for (std::size_t q = job.group_begin; q < job.group_end; ++q) {
        hn::Vec<decltype(d16)> c[R];
        _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) c[i] = hn::BitCast(d16, hn::Set(d32, coef[i][q]));
        const std::int16_t* p = row + 2 * q;
        _Pragma("GCC unroll 16") for (int k = 0; k < K; ++k) {
          const auto ve = hn::LoadU(d16, p + k * lanes);
          const auto vo = hn::LoadU(d16, p + k * lanes + 1);
          _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) {
            acc_even[i][k] = hn::ReorderWidenMulAccumulate(d32, ve, c[i], acc_even[i][k], spare_even[i][k]);
            acc_odd[i][k] = hn::ReorderWidenMulAccumulate(d32, vo, c[i], acc_odd[i][k], spare_odd[i][k]);
          }
        }
      }
    }
    // The 32-bit sums are exact read as unsigned (the caller bounds the
    // number of products); widen them into the 64-bit row totals.
    _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) {
      std::int64_t* out = job.out + static_cast<std::size_t>(i) * job.out_stride + x0;
      _Pragma("GCC unroll 16") for (int k = 0; k < K; ++k) {
        hn::Store(hn::RearrangeToOddPlusEven(acc_even[i][k], spare_even[i][k]), d32, even);
        hn::Store(hn::RearrangeToOddPlusEven(acc_odd[i][k], spare_odd[i][k]), d32, odd);
        std::int64_t* o = out + static_cast<std::size_t>(k) * lanes;
        if (job.accumulate) {
          for (std::size_t l = 0; l < half; ++l) {
            o[2 * l] += static_cast<std::uint32_t>(even[l]);
            o[2 * l + 1] += static_cast<std::uint32_t>(odd[l]);
          }
        } else {
          for (std::size_t l = 0; l < half; ++l) {
            o[2 * l] = static_cast<std::uint32_t>(even[l]);
            o[2 * l + 1] = static_cast<std::uint32_t>(odd[l]);
          }
        }
      }
    }
  }
}

// One placement at a time, for targets whose vectors hold a single value.
void CrossBlocksScalar(const CrossJob& job) {
  const std::size_t rows = static_cast<std::size_t>(job.block_rows);
  for (std::size_t i = 0; i < rows; ++i) {
    std::int64_t* out = job.out + i * job.out_stride;
    for (std::size_t x = 0; x < job.count; ++x) {
      std::int64_t sum = 0;
      for (std::size_t j = job.row_begin; j < job.row_end; ++j) {
        const std::int16_t* row = static_cast<const std::int16_t*>(job.rows[j]) + x;
        const std::int32_t* coef = job.coefficients + (j + rows - 1 - i) * job.groups;
        for (std::size_t q = job.group_begin; q < job.group_end; ++q) {
          const auto packed = static_cast<std::uint32_t>(coef[q]);
          sum += std::int64_t{packed & 0xffffu} * row[2 * q] + std::int64_t{packed >> 16} * row[2 * q + 1];
        }
      }
      out[x] = job.accumulate ? out[x] + sum : sum;
    }
  }
}

#if HWY_TARGET == HWY_AVX3_DL
// Byte dot products: each 32-bit lane sums four products of haystack bytes
// (unsigned) and pattern values - 128 (signed bytes). Loading at x + t for
// t = 0..3 gives the placements of each residue modulo four.
template <int R, int K>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void CrossBlocksVnni(const CrossJob& job) {
  constexpr std::size_t kBlock = 64 * K;
  alignas(64) std::int32_t lanes[4][16];
  for (std::size_t x0 = 0; x0 < job.count; x0 += kBlock) {
    __m512i acc[R][K][4];
    _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i)
      _Pragma("GCC unroll 16") for (int k = 0; k < K; ++k)
        _Pragma("GCC unroll 16") for (int t = 0; t < 4; ++t) acc[i][k][t] = _mm512_setzero_si512();
    for (std::size_t j = job.row_begin; j < job.row_end; ++j) {
      const std::uint8_t* row = static_cast<const std::uint8_t*>(job.rows[j]) + x0;
      const std::int32_t* coef[R];
      _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) coef[i] = job.coefficients + (j + R - 1 - static_cast<std::size_t>(i)) * job.groups;
      for (std::size_t q = job.group_begin; q < job.group_end; ++q) {
        __m512i c[R];
        _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) c[i] = _mm512_set1_epi32(coef[i][q]);
        const std::uint8_t* p = row + 4 * q;
        _Pragma("GCC unroll 16") for (int k = 0; k < K; ++k) {
          _Pragma("GCC unroll 16") for (int t = 0; t < 4; ++t) {
            const __m512i v = _mm512_loadu_si512(p + 64 * k + t);
            _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) acc[i][k][t] = _mm512_dpbusd_epi32(acc[i][k][t], v, c[i]);
          }
        }
      }
    }
    _Pragma("GCC unroll 16") for (int i = 0; i < R; ++i) {
      std::int64_t* out = job.out + static_cast<std::size_t>(i) * job.out_stride + x0;
      _Pragma("GCC unroll 16") for (int k = 0; k < K; ++k) {
        _Pragma("GCC unroll 16") for (int t = 0; t < 4; ++t) _mm512_store_si512(lanes[t], acc[i][k][t]);
        std::int64_t* o = out + 64 * k;
        if (job.accumulate) {
          for (std::size_t l = 0; l < 16; ++l)
            for (std::size_t t = 0; t < 4; ++t) o[4 * l + t] += lanes[t][l];
        } else {
          for (std::size_t l = 0; l < 16; ++l)
            for (std::size_t t = 0; t < 4; ++t) o[4 * l + t] = lanes[t][l];
        }
      }
    }
  }
}

__attribute__((target("avx512f,avx512bw,avx512vnni"))) std::int64_t SumLanes(__m512i v) {
  return _mm512_reduce_add_epi32(v);
}

// Four placements share each pattern load.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void DotRowsVnni(const DotJob& job) {
  const std::size_t segments = job.pattern_stride / 64;
  std::size_t x = 0;
  for (; x + 4 <= job.count; x += 4) {
    __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
    for (std::size_t v = 0; v < job.row_count; ++v) {
      const std::uint8_t* r = static_cast<const std::uint8_t*>(job.rows[v]) + x;
      const std::int8_t* p = job.pattern + v * job.pattern_stride;
      for (std::size_t s = 0; s < segments; ++s) {
        const __m512i pv = _mm512_loadu_si512(p + 64 * s);
        a0 = _mm512_dpbusd_epi32(a0, _mm512_loadu_si512(r + 64 * s), pv);
        a1 = _mm512_dpbusd_epi32(a1, _mm512_loadu_si512(r + 64 * s + 1), pv);
        a2 = _mm512_dpbusd_epi32(a2, _mm512_loadu_si512(r + 64 * s + 2), pv);
        a3 = _mm512_dpbusd_epi32(a3, _mm512_loadu_si512(r + 64 * s + 3), pv);
      }
    }
    job.out[x] = SumLanes(a0);
    job.out[x + 1] = SumLanes(a1);
    job.out[x + 2] = SumLanes(a2);
    job.out[x + 3] = SumLanes(a3);
  }
  for (; x < job.count; ++x) {
    __m512i a = _mm512_setzero_si512();
    for (std::size_t v = 0; v < job.row_count; ++v) {
      const std::uint8_t* r = static_cast<const std::uint8_t*>(job.rows[v]) + x;
      const std::int8_t* p = job.pattern + v * job.pattern_stride;
      for (std::size_t s = 0; s < segments; ++s)
        a = _mm512_dpbusd_epi32(a, _mm512_loadu_si512(r + 64 * s), _mm512_loadu_si512(p + 64 * s));
    }
    job.out[x] = SumLanes(a);
  }
}

bool HasVnni() {
  static const bool has = __builtin_cpu_supports("avx512vnni");
  return has;
}
#endif

CrossForm CrossFormOfTarget() {
#if HWY_TARGET == HWY_AVX3_DL
  if (HasVnni()) return CrossForm::quads8;
#endif
  return CrossForm::pairs16;
}

void DotProducts(const DotJob& job) {
#if HWY_TARGET == HWY_AVX3_DL
  if (HasVnni()) return DotRowsVnni(job);
#endif
  for (std::size_t x = 0; x < job.count; ++x) {
    std::int64_t sum = 0;
    for (std::size_t v = 0; v < job.row_count; ++v)
      for (std::size_t u = 0; u < job.pattern_stride; ++u)
        sum += std::int64_t{static_cast<const std::uint8_t*>(job.rows[v])[x + u]} * job.pattern[v * job.pattern_stride + u];
    job.out[x] = sum;
  }
}

void CrossProducts(const CrossJob& job) {
#if HWY_TARGET == HWY_AVX3_DL
  if (HasVnni()) {
    switch (job.block_rows) {
      case 1:
        return CrossBlocksVnni<1, 2>(job);
      case 2:
        return CrossBlocksVnni<2, 2>(job);
      default:
        return CrossBlocksVnni<4, 1>(job);
    }
  }
#endif
  // Pairs of 16-bit values need vectors of at least two of them.
  if (hn::Lanes(hn::ScalableTag<std::int16_t>()) < 2) return CrossBlocksScalar(job);
  switch (job.block_rows) {
    case 1:
      return CrossBlocks<1, 4>(job);
    case 2:
      return CrossBlocks<2, 2>(job);
    default:
      return CrossBlocks<4, 1>(job);
  }
}

void ScoreRow(const double* window_sum, const double* window_squares, const double* cross, std::size_t count,
              const PatternStats& stats, float* out) {
  const hn::ScalableTag<double> d;
  const hn::Rebind<float, decltype(d)> df;
  const std::size_t lanes = hn::Lanes(d);
  const auto n = hn::Set(d, stats.n);
  const auto zero = hn::Zero(d);
  const auto tiny = hn::Set(d, 1e-12);
  const auto one = hn::Set(d, 1.0);
  const auto minus_one = hn::Set(d, -1.0);
  const auto norm = hn::Set(d, stats.norm);
  const decltype(n) mean[3] = {hn::Set(d, stats.mean[0]), hn::Set(d, stats.mean[1]), hn::Set(d, stats.mean[2])};
  std::size_t x = 0;
  for (; x + lanes <= count; x += lanes) {
    auto energy = zero;
    auto numerator = zero;
    for (std::size_t c = 0; c < 3; ++c) {
      const auto s = hn::LoadU(d, window_sum + c * count + x);
      const auto q = hn::LoadU(d, window_squares + c * count + x);
      energy = hn::Add(energy, hn::Max(hn::Sub(q, hn::Div(hn::Mul(s, s), n)), zero));
      const auto p = hn::LoadU(d, cross + c * count + x);
      numerator = hn::Add(numerator, hn::Sub(p, hn::Mul(mean[c], s)));
    }
    const auto flat = hn::Lt(energy, tiny);
    auto score = hn::Div(numerator, hn::Mul(hn::Sqrt(energy), norm));
    score = hn::Min(hn::Max(score, minus_one), one);
    score = hn::IfThenZeroElse(flat, score);
    hn::StoreU(hn::DemoteTo(df, score), df, out + x);
  }
  if (x < count) score_row_scalar(window_sum + x, window_squares + x, cross + x, count - x, count, stats, out + x);
}

void VerticalRow(const std::uint8_t* const* rows, std::uint32_t count, const float* weights, std::size_t values,
                 float* column) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<std::int32_t, decltype(df)> di;
  const hn::Rebind<std::uint8_t, decltype(df)> d8;
  const std::size_t lanes = hn::Lanes(df);
  std::size_t i = 0;
  // Four vectors at a time to hide the add latency.
  for (; i + 4 * lanes <= values; i += 4 * lanes) {
    auto a0 = hn::Zero(df), a1 = hn::Zero(df), a2 = hn::Zero(df), a3 = hn::Zero(df);
    for (std::uint32_t k = 0; k < count; ++k) {
      const auto w = hn::Set(df, weights[k]);
      const std::uint8_t* src = rows[k] + i;
      a0 = hn::Add(a0, hn::Mul(w, hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, src)))));
      a1 = hn::Add(a1, hn::Mul(w, hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, src + lanes)))));
      a2 = hn::Add(a2, hn::Mul(w, hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, src + 2 * lanes)))));
      a3 = hn::Add(a3, hn::Mul(w, hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, src + 3 * lanes)))));
    }
    hn::StoreU(a0, df, column + i);
    hn::StoreU(a1, df, column + i + lanes);
    hn::StoreU(a2, df, column + i + 2 * lanes);
    hn::StoreU(a3, df, column + i + 3 * lanes);
  }
  for (; i < values; ++i) {
    float acc = 0.0f;
    for (std::uint32_t k = 0; k < count; ++k) acc += weights[k] * static_cast<float>(rows[k][i]);
    column[i] = acc;
  }
}

void HorizontalRow(const float* column, const std::int32_t* indices, const float* weights, std::size_t taps,
                   std::size_t stride, std::uint32_t width, std::uint8_t* out) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<std::int32_t, decltype(df)> di;
  const hn::Rebind<std::uint8_t, decltype(df)> d8;
  const std::size_t lanes = hn::Lanes(df);
  const auto zero = hn::Zero(df);
  const auto top = hn::Set(df, 255.0f);
  const auto half = hn::Set(df, 0.5f);
  const auto one = hn::Set(df, 1.0f);
  std::size_t x = 0;
  for (; x + lanes <= width; x += lanes) {
    hn::Vec<decltype(d8)> channel[3];
    for (std::size_t c = 0; c < 3; ++c) {
      auto acc = zero;
      for (std::size_t t = 0; t < taps; ++t) {
        const auto w = hn::LoadU(df, weights + t * stride + x);
        const auto v = hn::GatherIndex(df, column + c, hn::LoadU(di, indices + t * stride + x));
        acc = hn::Add(acc, hn::Mul(w, v));
      }
      // Clamp, then round half away from zero (the value is not negative).
      const auto clamped = hn::Min(hn::Max(acc, zero), top);
      const auto whole = hn::Trunc(clamped);
      const auto rounded = hn::Add(whole, hn::IfThenElseZero(hn::Ge(hn::Sub(clamped, whole), half), one));
      channel[c] = hn::DemoteTo(d8, hn::ConvertTo(di, rounded));
    }
    hn::StoreInterleaved3(channel[0], channel[1], channel[2], d8, out + 3 * x);
  }
  for (; x < width; ++x) {
    for (std::size_t c = 0; c < 3; ++c) {
      float acc = 0.0f;
      for (std::size_t t = 0; t < taps; ++t) acc += weights[t * stride + x] * column[indices[t * stride + x] + c];
      out[3 * x + c] = round_to<std::uint8_t>(std::clamp(acc, 0.0f, 255.0f));
    }
  }
}

void QuarterRow(const float* column, std::size_t padded_width, float* scratch, std::int64_t offset,
                const float* weights, std::size_t taps, std::uint32_t begin, std::uint32_t end, std::uint8_t* out) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<std::int32_t, decltype(df)> di;
  const hn::Rebind<std::uint8_t, decltype(df)> d8;
  const std::size_t lanes = hn::Lanes(df);
  float* planar = scratch;                        // 3 planes of padded_width
  float* phases = scratch + 3 * padded_width;     // 12 planes of padded_width / 4
  const std::size_t quarter = padded_width / 4;
  for (std::size_t i = 0; i < padded_width; i += lanes) {
    hn::Vec<decltype(df)> r, g, b;
    hn::LoadInterleaved3(df, column + 3 * i, r, g, b);
    hn::StoreU(r, df, planar + i);
    hn::StoreU(g, df, planar + padded_width + i);
    hn::StoreU(b, df, planar + 2 * padded_width + i);
  }
  for (std::size_t c = 0; c < 3; ++c) {
    float* phase = phases + c * 4 * quarter;
    for (std::size_t j = 0; j < quarter; j += lanes) {
      hn::Vec<decltype(df)> q0, q1, q2, q3;
      hn::LoadInterleaved4(df, planar + c * padded_width + 4 * j, q0, q1, q2, q3);
      hn::StoreU(q0, df, phase + j);
      hn::StoreU(q1, df, phase + quarter + j);
      hn::StoreU(q2, df, phase + 2 * quarter + j);
      hn::StoreU(q3, df, phase + 3 * quarter + j);
    }
  }
  // Tap t reads source pixel 4x + e (e = offset + t): phase e mod 4 at x + floor(e / 4).
  auto source = [&](std::size_t c, std::size_t t, std::size_t x) {
    const std::int64_t e = offset + static_cast<std::int64_t>(t);
    const std::int64_t shift = e >= 0 ? e / 4 : -((3 - e) / 4);
    const std::int64_t m = e - 4 * shift;
    return phases + (c * 4 + static_cast<std::size_t>(m)) * quarter + static_cast<std::ptrdiff_t>(x) + shift;
  };
  const auto zero = hn::Zero(df);
  const auto top = hn::Set(df, 255.0f);
  const auto half = hn::Set(df, 0.5f);
  const auto one = hn::Set(df, 1.0f);
  std::size_t x = begin;
  for (; x + lanes <= end; x += lanes) {
    hn::Vec<decltype(d8)> channel[3];
    for (std::size_t c = 0; c < 3; ++c) {
      auto acc = zero;
      for (std::size_t t = 0; t < taps; ++t) acc = hn::Add(acc, hn::Mul(hn::Set(df, weights[t]), hn::LoadU(df, source(c, t, x))));
      const auto clamped = hn::Min(hn::Max(acc, zero), top);
      const auto whole = hn::Trunc(clamped);
      const auto rounded = hn::Add(whole, hn::IfThenElseZero(hn::Ge(hn::Sub(clamped, whole), half), one));
      channel[c] = hn::DemoteTo(d8, hn::ConvertTo(di, rounded));
    }
    hn::StoreInterleaved3(channel[0], channel[1], channel[2], d8, out + 3 * x);
  }
  for (; x < end; ++x) {
    for (std::size_t c = 0; c < 3; ++c) {
      float acc = 0.0f;
      for (std::size_t t = 0; t < taps; ++t) acc += weights[t] * *source(c, t, x);
      out[3 * x + c] = round_to<std::uint8_t>(std::clamp(acc, 0.0f, 255.0f));
    }
  }
}

void SplitChannels(const std::uint8_t* rgb, std::size_t width, std::uint8_t* planes8, std::int16_t* planes16,
                   std::size_t stride) {
  const hn::ScalableTag<std::uint8_t> d8;
  const hn::Rebind<std::int16_t, hn::Half<decltype(d8)>> d16;
  const hn::Half<decltype(d8)> dh;
  const std::size_t lanes = hn::Lanes(d8);
  std::size_t x = 0;
  for (; x + lanes <= width; x += lanes) {
    hn::Vec<decltype(d8)> v[3];
    hn::LoadInterleaved3(d8, rgb + 3 * x, v[0], v[1], v[2]);
    for (std::size_t c = 0; c < 3; ++c) {
      if (planes16) {
#if HWY_TARGET == HWY_SCALAR
        planes16[c * stride + x] = hn::GetLane(v[c]);
        (void)d16;
        (void)dh;
#else
        std::int16_t* p = planes16 + c * stride + x;
        hn::StoreU(hn::PromoteTo(d16, hn::LowerHalf(dh, v[c])), d16, p);
        hn::StoreU(hn::PromoteTo(d16, hn::UpperHalf(dh, v[c])), d16, p + lanes / 2);
#endif
      } else {
        hn::StoreU(v[c], d8, planes8 + c * stride + x);
      }
    }
  }
  for (; x < width; ++x) {
    for (std::size_t c = 0; c < 3; ++c) {
      if (planes16) {
        planes16[c * stride + x] = rgb[3 * x + c];
      } else {
        planes8[c * stride + x] = rgb[3 * x + c];
      }
    }
  }
}

// Box sums by doubling: after step b, `run` holds sums of 2^b pixels starting
// at each position; the set bits of w pick consecutive boxes. Integer sums,
// so the grouping does not matter.
void BoxSums(const std::uint32_t* column, std::size_t n, std::size_t w, std::size_t out_n, std::uint32_t* run,
             std::uint32_t* out) {
  const hn::ScalableTag<std::uint32_t> d;
  const std::size_t lanes = hn::Lanes(d);
  std::copy(column, column + n, run);
  std::size_t offset = 0;  // pixels already covered
  bool first = true;
  for (std::size_t box = 1; box <= w; box <<= 1) {
    const std::size_t valid = n - 3 * (box - 1);  // positions holding a whole box
    if (w & box) {
      const std::uint32_t* src = run + 3 * offset;
      std::size_t i = 0;
      for (; i + lanes <= out_n; i += lanes) {
        const auto v = hn::LoadU(d, src + i);
        hn::StoreU(first ? v : hn::Add(hn::LoadU(d, out + i), v), d, out + i);
      }
      for (; i < out_n; ++i) out[i] = first ? src[i] : out[i] + src[i];
      first = false;
      offset += box;
    }
    if ((box << 1) <= w) {
      // Ascending and in place: each step reads positions not yet rewritten.
      const std::size_t next = valid - 3 * box;
      const std::size_t step = 3 * box;
      std::size_t i = 0;
      for (; i + lanes <= next; i += lanes) {
        hn::StoreU(hn::Add(hn::LoadU(d, run + i), hn::LoadU(d, run + i + step)), d, run + i);
      }
      for (; i < next; ++i) run[i] += run[i + step];
    }
  }
}

// Interleaved 32-bit values to three planes of doubles.
void SplitToDoubles(const std::uint32_t* in, std::size_t count, double* out) {
  const hn::ScalableTag<double> df;
  const hn::Rebind<std::int64_t, decltype(df)> di;
  const hn::Rebind<std::uint64_t, decltype(df)> du;
  const hn::Rebind<std::uint32_t, decltype(df)> d32;
  const std::size_t lanes = hn::Lanes(df);
  std::size_t x = 0;
  for (; x + lanes <= count; x += lanes) {
    hn::Vec<decltype(d32)> v[3];
    hn::LoadInterleaved3(d32, in + 3 * x, v[0], v[1], v[2]);
    for (std::size_t c = 0; c < 3; ++c)
      hn::StoreU(hn::ConvertTo(df, hn::BitCast(di, hn::PromoteTo(du, v[c]))), df, out + c * count + x);
  }
  for (; x < count; ++x)
    for (std::size_t c = 0; c < 3; ++c) out[c * count + x] = static_cast<double>(in[3 * x + c]);
}

void WindowSums(const std::uint32_t* sum, const std::uint32_t* squares, std::size_t width, std::size_t w,
                std::size_t count, std::uint32_t* scratch, double* out_sum, double* out_squares) {
  const std::size_t n = 3 * width;
  std::uint32_t* run = scratch;
  std::uint32_t* box = scratch + n + 3 * kMaxFloatLanes;
  BoxSums(sum, n, w, 3 * count, run, box);
  SplitToDoubles(box, count, out_sum);
  BoxSums(squares, n, w, 3 * count, run, box);
  SplitToDoubles(box, count, out_squares);
}

void ColumnUpdate(const std::uint8_t* add, const std::uint8_t* sub, std::size_t n, std::uint32_t* sum,
                  std::uint32_t* squares) {
  const hn::ScalableTag<std::uint32_t> d32;
  const hn::Rebind<std::uint8_t, decltype(d32)> d8;
  const std::size_t lanes = hn::Lanes(d32);
  std::size_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    const auto a = hn::PromoteTo(d32, hn::LoadU(d8, add + i));
    auto s = hn::LoadU(d32, sum + i);
    auto q = hn::LoadU(d32, squares + i);
    s = hn::Add(s, a);
    q = hn::Add(q, hn::Mul(a, a));
    if (sub) {
      const auto b = hn::PromoteTo(d32, hn::LoadU(d8, sub + i));
      s = hn::Sub(s, b);
      q = hn::Sub(q, hn::Mul(b, b));
    }
    hn::StoreU(s, d32, sum + i);
    hn::StoreU(q, d32, squares + i);
  }
  for (; i < n; ++i) {
    const std::uint32_t a = add[i];
    const std::uint32_t b = sub ? sub[i] : 0u;
    sum[i] = sum[i] + a - b;
    squares[i] = squares[i] + a * a - b * b;
  }
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace vision_core
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vision_core {

HWY_EXPORT(CrossFormOfTarget);
HWY_EXPORT(CrossProducts);
HWY_EXPORT(DotProducts);
HWY_EXPORT(ScoreRow);
HWY_EXPORT(VerticalRow);
HWY_EXPORT(HorizontalRow);
HWY_EXPORT(ColumnUpdate);
HWY_EXPORT(QuarterRow);
HWY_EXPORT(SplitChannels);
HWY_EXPORT(WindowSums);

CrossForm cross_form() { return HWY_DYNAMIC_DISPATCH(CrossFormOfTarget)(); }

void dot_products(const DotJob& job) { HWY_DYNAMIC_DISPATCH(DotProducts)(job); }

void cross_products(const CrossJob& job) { HWY_DYNAMIC_DISPATCH(CrossProducts)(job); }

void score_row(const double* window_sum, const double* window_squares, const double* cross, std::size_t count,
               const PatternStats& stats, float* out) {
  HWY_DYNAMIC_DISPATCH(ScoreRow)(window_sum, window_squares, cross, count, stats, out);
}

void vertical_row(const std::uint8_t* const* rows, std::uint32_t count, const float* weights, std::size_t values,
                  float* column) {
  HWY_DYNAMIC_DISPATCH(VerticalRow)(rows, count, weights, values, column);
}

void horizontal_row(const float* column, const std::int32_t* indices, const float* weights, std::size_t taps,
                    std::size_t stride, std::uint32_t width, std::uint8_t* out) {
  HWY_DYNAMIC_DISPATCH(HorizontalRow)(column, indices, weights, taps, stride, width, out);
}

void column_update(const std::uint8_t* add, const std::uint8_t* sub, std::size_t n, std::uint32_t* sum,
                   std::uint32_t* squares) {
  HWY_DYNAMIC_DISPATCH(ColumnUpdate)(add, sub, n, sum, squares);
}

void quarter_row(const float* column, std::size_t padded_width, float* scratch, std::int64_t offset,
                 const float* weights, std::size_t taps, std::uint32_t begin, std::uint32_t end, std::uint8_t* out) {
  HWY_DYNAMIC_DISPATCH(QuarterRow)(column, padded_width, scratch, offset, weights, taps, begin, end, out);
}

void split_channels(const std::uint8_t* rgb, std::size_t width, std::uint8_t* planes8, std::int16_t* planes16,
                    std::size_t stride) {
  HWY_DYNAMIC_DISPATCH(SplitChannels)(rgb, width, planes8, planes16, stride);
}

void window_sums(const std::uint32_t* sum, const std::uint32_t* squares, std::size_t width, std::size_t w,
                 std::size_t count, std::uint32_t* scratch, double* out_sum, double* out_squares) {
  HWY_DYNAMIC_DISPATCH(WindowSums)(sum, squares, width, w, count, scratch, out_sum, out_squares);
}

}  // namespace vision_core
#endif  // HWY_ONCE
