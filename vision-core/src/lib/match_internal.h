#pragma once
// Pieces of the matcher shared between match.cc and the vectorised kernels.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vision_core/image.h"
#include "vision_core/match.h"

namespace vision_core {

// Coarse candidates refined at full resolution, best first.
inline constexpr std::size_t kMaxCoarseCandidates = 48;

struct PatternStats {
  double n = 0.0;              // pixel count
  double sum[3] = {0, 0, 0};   // per channel
  double mean[3] = {0, 0, 0};  // sum / n
  double norm = 0.0;           // square root of the clamped energy
};

PatternStats pattern_stats(RgbView pattern);

// Scores of one map row from its window statistics and cross products, each
// given as three channel planes of `count` doubles (plane stride `count`).
void score_row(const double* window_sum, const double* window_squares, const double* cross, std::size_t count,
               const PatternStats& stats, float* out);

// Computes a score map row by row, reusing its buffers: streamed integer
// window sums (no summed-area tables) and integer cross products.
class ScoreMapper {
 public:
  ScoreMapper(RgbView haystack, RgbView pattern, const PatternStats& stats);
  // Scores map rows y, y+1, ... (at most `limit`, consecutive calls must
  // continue where the last stopped) into `out`; returns how many were done.
  std::uint32_t score_rows(std::uint32_t y, std::uint32_t limit, float* out);

 private:
  void window_statistics(std::uint32_t y);
  void cross_products(std::uint32_t y, std::uint32_t rows);

  RgbView haystack_;
  RgbView pattern_;
  PatternStats stats_;
  std::uint32_t map_width_;
  std::uint32_t map_height_;
  std::uint32_t next_row_ = 0;
  // Vertical sums over the current h rows, per pixel and channel (interleaved).
  std::vector<std::uint64_t> column_sum_;
  std::vector<std::uint64_t> column_squares_;
  std::vector<std::uint64_t> prefix_sum_;
  std::vector<std::uint64_t> prefix_squares_;
  // Three channel planes of map_width_ each, per map row of the current block.
  std::vector<double> window_sum_;
  std::vector<double> window_squares_;
  std::vector<double> cross_;
};

}  // namespace vision_core
