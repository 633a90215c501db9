// Score map computation a few rows at a time. Window sums and cross products
// are exact integers; they become doubles only where the score formula
// starts, so the result equals a plain double evaluation with summed-area
// tables, bit for bit.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "match_internal.h"
#include "match_kernels.h"

namespace vision_core {
namespace {

// Products summed in one 32-bit lane stay exact up to this many groups:
// 33025 pairs * 2 * 255 * 255 < 2^32 (read as unsigned), and
// 16448 quads * 4 * 128 * 255 < 2^31 (signed).
constexpr std::size_t kMaxPairsPerSum = 33025;
constexpr std::size_t kMaxQuadsPerSum = 16448;

}  // namespace

ScoreMapper::ScoreMapper(RgbView haystack, RgbView pattern, const PatternStats& stats)
    : haystack_(haystack),
      pattern_(pattern),
      stats_(stats),
      map_width_(haystack.width - pattern.width + 1),
      // Two map rows share every haystack row load; not worth it for short patterns.
      block_rows_(pattern.height >= 8 ? 2 : 1),
      byte_form_(cross_form() == CrossForm::quads8),
      groups_(byte_form_ ? (std::size_t{pattern.width} + 3) / 4 : (std::size_t{pattern.width} + 1) / 2),
      row_length_(std::size_t{haystack.width} + kPlacementSlack + 4),
      ring_slots_(pattern.height + block_rows_ - 1),
      column_sum_(std::size_t{haystack.width} * 3),
      column_squares_(std::size_t{haystack.width} * 3),
      prefix_sum_(std::size_t{haystack.width} * 3 + 3),
      prefix_squares_(std::size_t{haystack.width} * 3 + 3),
      window_sum_(std::size_t{map_width_} * 3),
      window_squares_(std::size_t{map_width_} * 3),
      cross_(std::size_t{map_width_} * 3) {
  const std::size_t padded_rows = pattern.height + 2 * (std::size_t{block_rows_} - 1);
  const std::size_t group = byte_form_ ? 4 : 2;
  coefficients_.assign(3 * padded_rows * groups_, 0);
  for (std::uint32_t v = 0; v < pattern.height; ++v) {
    const std::uint8_t* row = pattern.row(v);
    for (std::size_t c = 0; c < 3; ++c) {
      std::int32_t* out = coefficients_.data() + (c * padded_rows + v + block_rows_ - 1) * groups_;
      for (std::size_t q = 0; q < groups_; ++q) {
        std::uint32_t packed = 0;
        for (std::size_t b = 0; b < group; ++b) {
          const std::size_t u = q * group + b;
          if (u >= pattern.width) break;  // beyond the pattern: weight zero
          const std::uint32_t value = row[3 * u + c];
          packed |= byte_form_ ? ((value - 128u) & 0xffu) << (8 * b) : value << (16 * b);
        }
        out[q] = static_cast<std::int32_t>(packed);
      }
    }
  }
  if (byte_form_) {
    ring_bytes_.assign(std::size_t{ring_slots_} * 3 * row_length_, 0);
  } else {
    ring_.assign(std::size_t{ring_slots_} * 3 * row_length_, 0);
  }
  row_pointers_.resize(3 * std::size_t{ring_slots_});
  cross_sums_.resize(std::size_t{block_rows_} * 3 * (std::size_t{map_width_} + kPlacementSlack));
}

void ScoreMapper::load_rows(std::uint32_t first, std::uint32_t end) {
  if (first < loaded_begin_ || first > loaded_end_) loaded_end_ = first;
  for (std::uint32_t r = std::max(first, loaded_end_); r < end; ++r) {
    const std::uint8_t* src = haystack_.row(r);
    const std::size_t slot = std::size_t{r % ring_slots_} * 3 * row_length_;
    if (byte_form_) {
      std::uint8_t* planes = ring_bytes_.data() + slot;
      for (std::uint32_t x = 0; x < haystack_.width; ++x) {
        planes[x] = src[3 * x];
        planes[row_length_ + x] = src[3 * x + 1];
        planes[2 * row_length_ + x] = src[3 * x + 2];
      }
    } else {
      std::int16_t* planes = ring_.data() + slot;
      for (std::uint32_t x = 0; x < haystack_.width; ++x) {
        planes[x] = src[3 * x];
        planes[row_length_ + x] = src[3 * x + 1];
        planes[2 * row_length_ + x] = src[3 * x + 2];
      }
    }
  }
  loaded_begin_ = first;
  loaded_end_ = std::max(loaded_end_, end);
}

std::uint32_t ScoreMapper::score_rows(std::uint32_t y, std::uint32_t limit, float* out) {
  if (limit == 0) return 0;
  const std::uint32_t rows = limit >= block_rows_ ? block_rows_ : 1;
  const std::uint32_t h = pattern_.height;
  const std::uint32_t span = h + rows - 1;  // haystack rows this block reads
  load_rows(y, y + span);

  const std::size_t padded_rows = h + 2 * (std::size_t{block_rows_} - 1);
  const std::size_t out_stride = std::size_t{map_width_} + kPlacementSlack;
  std::fill(cross_sums_.begin(), cross_sums_.end(), 0);
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::uint32_t j = 0; j < span; ++j) {
      const std::size_t at = (std::size_t{(y + j) % ring_slots_} * 3 + c) * row_length_;
      row_pointers_[j] = byte_form_ ? static_cast<const void*>(ring_bytes_.data() + at)
                                    : static_cast<const void*>(ring_.data() + at);
    }
    CrossJob job;
    job.rows = row_pointers_.data();
    // A table padded for block_rows_ serves smaller blocks from further in.
    job.coefficients = coefficients_.data() + (c * padded_rows + (block_rows_ - rows)) * groups_;
    job.groups = groups_;
    job.count = map_width_;
    job.out = cross_sums_.data() + c * out_stride;
    job.out_stride = 3 * out_stride;
    job.block_rows = static_cast<int>(rows);
    const std::size_t most = byte_form_ ? kMaxQuadsPerSum : kMaxPairsPerSum;
    const std::size_t group_chunk = std::min(groups_, most);
    const std::size_t row_chunk = std::max<std::size_t>(1, most / group_chunk);
    for (std::size_t j0 = 0; j0 < span; j0 += row_chunk) {
      job.row_begin = j0;
      job.row_end = std::min<std::size_t>(span, j0 + row_chunk);
      for (std::size_t q0 = 0; q0 < groups_; q0 += group_chunk) {
        job.group_begin = q0;
        job.group_end = std::min(groups_, q0 + group_chunk);
        cross_products(job);
      }
    }
  }

  for (std::uint32_t i = 0; i < rows; ++i) {
    window_statistics(y + i, window_sum_.data(), window_squares_.data());
    for (std::size_t c = 0; c < 3; ++c) {
      const std::int64_t* sums = cross_sums_.data() + (std::size_t{i} * 3 + c) * out_stride;
      const double* window = window_sum_.data() + c * map_width_;
      double* cross = cross_.data() + c * map_width_;
      if (byte_form_) {
        // The kernel used pattern values - 128: add 128 times the window sum back.
        for (std::uint32_t x = 0; x < map_width_; ++x)
          cross[x] = static_cast<double>(sums[x] + 128 * static_cast<std::int64_t>(window[x]));
      } else {
        for (std::uint32_t x = 0; x < map_width_; ++x) cross[x] = static_cast<double>(sums[x]);
      }
    }
    score_row(window_sum_.data(), window_squares_.data(), cross_.data(), map_width_, stats_,
              out + std::size_t{i} * map_width_);
  }
  return rows;
}

void ScoreMapper::window_statistics(std::uint32_t y, double* sum, double* squares) {
  const std::size_t row_values = std::size_t{haystack_.width} * 3;
  auto add_row = [&](std::uint32_t r) {
    const std::uint8_t* p = haystack_.row(r);
    for (std::size_t i = 0; i < row_values; ++i) {
      const std::uint64_t v = p[i];
      column_sum_[i] += v;
      column_squares_[i] += v * v;
    }
  };
  if (y == 0 || y != next_statistics_row_) {
    std::fill(column_sum_.begin(), column_sum_.end(), 0);
    std::fill(column_squares_.begin(), column_squares_.end(), 0);
    for (std::uint32_t r = y; r < y + pattern_.height; ++r) add_row(r);
  } else {
    const std::uint8_t* old = haystack_.row(y - 1);
    for (std::size_t i = 0; i < row_values; ++i) {
      const std::uint64_t v = old[i];
      column_sum_[i] -= v;
      column_squares_[i] -= v * v;
    }
    add_row(y + pattern_.height - 1);
  }
  next_statistics_row_ = y + 1;

  // Horizontal window sums by prefix differences, still in integers.
  for (std::size_t i = 0; i < row_values; ++i) {
    prefix_sum_[i + 3] = prefix_sum_[i] + column_sum_[i];
    prefix_squares_[i + 3] = prefix_squares_[i] + column_squares_[i];
  }
  const std::size_t span = std::size_t{pattern_.width} * 3;
  for (std::uint32_t x = 0; x < map_width_; ++x) {
    for (std::size_t c = 0; c < 3; ++c) {
      const std::size_t a = std::size_t{x} * 3 + c;
      sum[c * map_width_ + x] = static_cast<double>(prefix_sum_[a + span] - prefix_sum_[a]);
      squares[c * map_width_ + x] = static_cast<double>(prefix_squares_[a + span] - prefix_squares_[a]);
    }
  }
}

void score_row_scalar(const double* window_sum, const double* window_squares, const double* cross,
                      std::size_t count, std::size_t plane_stride, const PatternStats& stats, float* out) {
  const double n = stats.n;
  for (std::size_t x = 0; x < count; ++x) {
    double energy = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
      const double s = window_sum[c * plane_stride + x];
      energy += std::max(window_squares[c * plane_stride + x] - s * s / n, 0.0);
    }
    // A flat window has no direction to correlate with.
    if (energy < 1e-12) {
      out[x] = 0.0f;
      continue;
    }
    double numerator = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
      numerator += cross[c * plane_stride + x] - stats.mean[c] * window_sum[c * plane_stride + x];
    }
    const double score = numerator / (std::sqrt(energy) * stats.norm);
    out[x] = static_cast<float>(std::clamp(score, -1.0, 1.0));
  }
}

}  // namespace vision_core
