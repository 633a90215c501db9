// Row-by-row score map computation. Window sums and cross products are exact
// integers; they become doubles only where the score formula starts, so the
// result equals a plain double evaluation with summed-area tables.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "match_internal.h"

namespace vision_core {

ScoreMapper::ScoreMapper(RgbView haystack, RgbView pattern, const PatternStats& stats)
    : haystack_(haystack),
      pattern_(pattern),
      stats_(stats),
      map_width_(haystack.width - pattern.width + 1),
      map_height_(haystack.height - pattern.height + 1),
      column_sum_(std::size_t{haystack.width} * 3),
      column_squares_(std::size_t{haystack.width} * 3),
      prefix_sum_(std::size_t{haystack.width} * 3 + 3),
      prefix_squares_(std::size_t{haystack.width} * 3 + 3),
      window_sum_(std::size_t{map_width_} * 3),
      window_squares_(std::size_t{map_width_} * 3),
      cross_(std::size_t{map_width_} * 3) {}

std::uint32_t ScoreMapper::score_rows(std::uint32_t y, std::uint32_t limit, float* out) {
  if (limit == 0) return 0;
  window_statistics(y);
  cross_products(y, 1);
  score_row(window_sum_.data(), window_squares_.data(), cross_.data(), map_width_, stats_, out);
  return 1;
}

void ScoreMapper::window_statistics(std::uint32_t y) {
  const std::size_t row_values = std::size_t{haystack_.width} * 3;
  auto add_row = [&](std::uint32_t r) {
    const std::uint8_t* p = haystack_.row(r);
    for (std::size_t i = 0; i < row_values; ++i) {
      const std::uint64_t v = p[i];
      column_sum_[i] += v;
      column_squares_[i] += v * v;
    }
  };
  if (y == 0 || y != next_row_) {
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
  next_row_ = y + 1;

  // Horizontal window sums by prefix differences, still in integers.
  for (std::size_t i = 0; i < row_values; ++i) {
    prefix_sum_[i + 3] = prefix_sum_[i] + column_sum_[i];
    prefix_squares_[i + 3] = prefix_squares_[i] + column_squares_[i];
  }
  const std::size_t span = std::size_t{pattern_.width} * 3;
  for (std::uint32_t x = 0; x < map_width_; ++x) {
    for (std::size_t c = 0; c < 3; ++c) {
      const std::size_t a = std::size_t{x} * 3 + c;
      window_sum_[c * map_width_ + x] = static_cast<double>(prefix_sum_[a + span] - prefix_sum_[a]);
      window_squares_[c * map_width_ + x] = static_cast<double>(prefix_squares_[a + span] - prefix_squares_[a]);
    }
  }
}

void ScoreMapper::cross_products(std::uint32_t y, std::uint32_t /*rows*/) {
  const std::uint32_t w = pattern_.width;
  const std::uint32_t h = pattern_.height;
  for (std::uint32_t x = 0; x < map_width_; ++x) {
    std::uint64_t p[3] = {0, 0, 0};
    for (std::uint32_t v = 0; v < h; ++v) {
      const std::uint8_t* prow = pattern_.row(v);
      const std::uint8_t* hrow = haystack_.row(y + v) + std::size_t{x} * 3;
      for (std::uint32_t u = 0; u < 3 * w; u += 3) {
        p[0] += std::uint32_t{prow[u]} * hrow[u];
        p[1] += std::uint32_t{prow[u + 1]} * hrow[u + 1];
        p[2] += std::uint32_t{prow[u + 2]} * hrow[u + 2];
      }
    }
    for (std::size_t c = 0; c < 3; ++c) cross_[c * map_width_ + x] = static_cast<double>(p[c]);
  }
}

void score_row(const double* window_sum, const double* window_squares, const double* cross, std::size_t count,
               const PatternStats& stats, float* out) {
  const double n = stats.n;
  for (std::size_t x = 0; x < count; ++x) {
    double energy = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
      const double s = window_sum[c * count + x];
      energy += std::max(window_squares[c * count + x] - s * s / n, 0.0);
    }
    // A flat window has no direction to correlate with.
    if (energy < 1e-12) {
      out[x] = 0.0f;
      continue;
    }
    double numerator = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
      numerator += cross[c * count + x] - stats.mean[c] * window_sum[c * count + x];
    }
    const double score = numerator / (std::sqrt(energy) * stats.norm);
    out[x] = static_cast<float>(std::clamp(score, -1.0, 1.0));
  }
}

}  // namespace vision_core
