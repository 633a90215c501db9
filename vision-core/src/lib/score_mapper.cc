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

// Maps at most this wide are computed one placement at a time in the byte
// form; wider blocks of placements would mostly compute past the map's edge.
constexpr std::uint32_t kDotFormMaxWidth = 48;

bool use_dot_form(bool byte_form, std::uint32_t map_width, RgbView pattern) {
  const std::size_t segments = (std::size_t{pattern.width} + 63) / 64;
  return byte_form && map_width <= kDotFormMaxWidth && segments * 16 * pattern.height <= kMaxQuadsPerSum;
}

}  // namespace

PatternTables::PatternTables(RgbView pattern) : pattern_(pattern), stats_(pattern_stats(pattern)) {}

const std::int32_t* PatternTables::coefficients(bool bytes, std::uint32_t block_rows) {
  if (!coefficients_.empty() && coefficients_bytes_ == bytes && coefficients_rows_ == block_rows) {
    return coefficients_.data();
  }
  const std::size_t group = bytes ? 4 : 2;
  const std::size_t groups = (std::size_t{pattern_.width} + group - 1) / group;
  const std::size_t padded_rows = pattern_.height + 2 * (std::size_t{block_rows} - 1);
  coefficients_.assign(3 * padded_rows * groups, 0);
  for (std::uint32_t v = 0; v < pattern_.height; ++v) {
    const std::uint8_t* row = pattern_.row(v);
    for (std::size_t c = 0; c < 3; ++c) {
      std::int32_t* out = coefficients_.data() + (c * padded_rows + v + block_rows - 1) * groups;
      for (std::size_t q = 0; q < groups; ++q) {
        std::uint32_t packed = 0;
        for (std::size_t b = 0; b < group; ++b) {
          const std::size_t u = q * group + b;
          if (u >= pattern_.width) break;  // beyond the pattern: weight zero
          const std::uint32_t value = row[3 * u + c];
          packed |= bytes ? ((value - 128u) & 0xffu) << (8 * b) : value << (16 * b);
        }
        out[q] = static_cast<std::int32_t>(packed);
      }
    }
  }
  coefficients_bytes_ = bytes;
  coefficients_rows_ = block_rows;
  return coefficients_.data();
}

const std::int8_t* PatternTables::signed_bytes() {
  if (signed_bytes_.empty()) {
    const std::size_t stride = (std::size_t{pattern_.width} + 63) / 64 * 64;
    signed_bytes_.assign(3 * stride * pattern_.height, 0);
    for (std::uint32_t v = 0; v < pattern_.height; ++v) {
      const std::uint8_t* row = pattern_.row(v);
      for (std::size_t c = 0; c < 3; ++c)
        for (std::uint32_t u = 0; u < pattern_.width; ++u)
          signed_bytes_[(c * pattern_.height + v) * stride + u] = static_cast<std::int8_t>(row[3 * u + c] - 128);
    }
  }
  return signed_bytes_.data();
}

ScoreMapper::ScoreMapper(RgbView haystack, PatternTables& tables)
    : haystack_(haystack),
      pattern_(tables.pattern()),
      stats_(tables.stats()),
      map_width_(haystack.width - pattern_.width + 1),
      byte_form_(cross_form() == CrossForm::quads8),
      dot_form_(use_dot_form(byte_form_, map_width_, pattern_)),
      // Two map rows share every haystack row load; not worth it for short patterns.
      block_rows_(pattern_.height >= 8 && !dot_form_ ? kMaxBlockRows : 1),
      groups_(byte_form_ ? (std::size_t{pattern_.width} + 3) / 4 : (std::size_t{pattern_.width} + 1) / 2),
      row_length_(std::size_t{haystack.width} + kPlacementSlack + 4),
      ring_slots_(pattern_.height + block_rows_ - 1),
      wide_columns_(std::uint64_t{pattern_.height} * 255 * 255 > 0xffffffffu),
      // Whole window totals in 32 bits allow vectorised box sums.
      narrow_windows_(std::uint64_t{pattern_.width} * pattern_.height * 255 * 255 <= 0xffffffffu),
      window_sum_(std::size_t{map_width_} * 3),
      window_squares_(std::size_t{map_width_} * 3),
      cross_(std::size_t{map_width_} * 3) {
  if (dot_form_) {
    pattern_bytes_ = tables.signed_bytes();
  } else {
    coefficients_ = tables.coefficients(byte_form_, block_rows_);
  }
  if (narrow_windows_) box_scratch_.resize(2 * (3 * std::size_t{haystack.width} + 3 * kMaxFloatLanes));
  if (wide_columns_) {
    wide_sum_.resize(std::size_t{haystack.width} * 3);
    wide_squares_.resize(std::size_t{haystack.width} * 3);
  } else {
    column_sum_.resize(std::size_t{haystack.width} * 3);
    column_squares_.resize(std::size_t{haystack.width} * 3);
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
    const std::size_t slot = std::size_t{r % ring_slots_} * 3 * row_length_;
    if (byte_form_) {
      split_channels(haystack_.row(r), haystack_.width, ring_bytes_.data() + slot, nullptr, row_length_);
    } else {
      split_channels(haystack_.row(r), haystack_.width, nullptr, ring_.data() + slot, row_length_);
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
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::uint32_t j = 0; j < span; ++j) {
      const std::size_t at = (std::size_t{(y + j) % ring_slots_} * 3 + c) * row_length_;
      row_pointers_[j] = byte_form_ ? static_cast<const void*>(ring_bytes_.data() + at)
                                    : static_cast<const void*>(ring_.data() + at);
    }
    if (dot_form_) {
      // rows == 1 here; row_pointers_ already holds this block's rows.
      DotJob dot;
      dot.rows = row_pointers_.data();
      dot.row_count = h;
      dot.pattern_stride = (std::size_t{pattern_.width} + 63) / 64 * 64;
      dot.pattern = pattern_bytes_ + c * h * dot.pattern_stride;
      dot.count = map_width_;
      dot.out = cross_sums_.data() + c * out_stride;
      dot_products(dot);
      continue;
    }
    CrossJob job;
    job.rows = row_pointers_.data();
    // A table padded for block_rows_ serves smaller blocks from further in.
    job.coefficients = coefficients_ + (c * padded_rows + (block_rows_ - rows)) * groups_;
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
        job.accumulate = j0 > 0 || q0 > 0;
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
        // Both terms are integers below 2^53, so the double sum is exact.
        for (std::uint32_t x = 0; x < map_width_; ++x) cross[x] = static_cast<double>(sums[x]) + 128.0 * window[x];
      } else {
        for (std::uint32_t x = 0; x < map_width_; ++x) cross[x] = static_cast<double>(sums[x]);
      }
    }
    score_row(window_sum_.data(), window_squares_.data(), cross_.data(), map_width_, stats_,
              out + std::size_t{i} * map_width_);
  }
  return rows;
}

namespace {

// Horizontal window sums of w columns for every placement, by running sums
// per channel, exact in 64 bits; written as three planes of doubles.
template <class Column>
void running_window_sums(const Column* sum, const Column* squares, std::uint32_t w, std::uint32_t count, double* out_sum,
                 double* out_squares) {
  for (std::size_t c = 0; c < 3; ++c) {
    std::int64_t s = 0, q = 0;
    for (std::uint32_t u = 0; u < w; ++u) {
      s += static_cast<std::int64_t>(sum[3 * std::size_t{u} + c]);
      q += static_cast<std::int64_t>(squares[3 * std::size_t{u} + c]);
    }
    double* os = out_sum + c * count;
    double* oq = out_squares + c * count;
    os[0] = static_cast<double>(s);
    oq[0] = static_cast<double>(q);
    for (std::uint32_t x = 1; x < count; ++x) {
      const std::size_t enter = 3 * (std::size_t{x} + w - 1) + c;
      const std::size_t leave = 3 * (std::size_t{x} - 1) + c;
      s += static_cast<std::int64_t>(sum[enter]) - static_cast<std::int64_t>(sum[leave]);
      q += static_cast<std::int64_t>(squares[enter]) - static_cast<std::int64_t>(squares[leave]);
      os[x] = static_cast<double>(s);
      oq[x] = static_cast<double>(q);
    }
  }
}

}  // namespace

void ScoreMapper::window_statistics(std::uint32_t y, double* sum, double* squares) {
  const std::size_t row_values = std::size_t{haystack_.width} * 3;
  const bool restart = y == 0 || y != next_statistics_row_;
  if (!wide_columns_) {
    if (restart) {
      std::fill(column_sum_.begin(), column_sum_.end(), 0u);
      std::fill(column_squares_.begin(), column_squares_.end(), 0u);
      for (std::uint32_t r = y; r < y + pattern_.height; ++r)
        column_update(haystack_.row(r), nullptr, row_values, column_sum_.data(), column_squares_.data());
    } else {
      column_update(haystack_.row(y + pattern_.height - 1), haystack_.row(y - 1), row_values, column_sum_.data(),
                    column_squares_.data());
    }
    next_statistics_row_ = y + 1;
    if (narrow_windows_) {
      window_sums(column_sum_.data(), column_squares_.data(), haystack_.width, pattern_.width, map_width_,
                  box_scratch_.data(), sum, squares);
    } else {
      running_window_sums(column_sum_.data(), column_squares_.data(), pattern_.width, map_width_, sum, squares);
    }
    return;
  }
  auto add_row = [&](std::uint32_t r, bool subtract) {
    const std::uint8_t* p = haystack_.row(r);
    for (std::size_t i = 0; i < row_values; ++i) {
      const std::uint64_t v = p[i];
      if (subtract) {
        wide_sum_[i] -= v;
        wide_squares_[i] -= v * v;
      } else {
        wide_sum_[i] += v;
        wide_squares_[i] += v * v;
      }
    }
  };
  if (restart) {
    std::fill(wide_sum_.begin(), wide_sum_.end(), 0);
    std::fill(wide_squares_.begin(), wide_squares_.end(), 0);
    for (std::uint32_t r = y; r < y + pattern_.height; ++r) add_row(r, false);
  } else {
    add_row(y - 1, true);
    add_row(y + pattern_.height - 1, false);
  }
  next_statistics_row_ = y + 1;
  running_window_sums(wide_sum_.data(), wide_squares_.data(), pattern_.width, map_width_, sum, squares);
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
