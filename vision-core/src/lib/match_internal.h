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

// Most map rows ScoreMapper::score_rows does in one call.
inline constexpr std::uint32_t kMaxBlockRows = 2;

// What find_peaks records on each peak besides its position and score.
struct PeakSpec {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::int32_t offset_x = 0;
  std::int32_t offset_y = 0;
  float threshold = 0.0f;
  float scale = 1.0f;
};

struct PatternStats {
  double n = 0.0;              // pixel count
  double sum[3] = {0, 0, 0};   // per channel
  double mean[3] = {0, 0, 0};  // sum / n
  double norm = 0.0;           // square root of the clamped energy
};

PatternStats pattern_stats(RgbView pattern);

// What a pattern brings to every score map it is matched in, built on first
// use and shared by all maps of one search (the refinement windows).
class PatternTables {
 public:
  explicit PatternTables(RgbView pattern);
  RgbView pattern() const { return pattern_; }
  const PatternStats& stats() const { return stats_; }
  // Packed groups per channel and pattern row (see CrossJob), with
  // block_rows - 1 zero rows before and after.
  const std::int32_t* coefficients(bool bytes, std::uint32_t block_rows);
  // Values - 128 per channel and row, rows padded to 64 bytes (see DotJob).
  const std::int8_t* signed_bytes();

 private:
  RgbView pattern_;
  PatternStats stats_;
  std::vector<std::int32_t> coefficients_;
  bool coefficients_bytes_ = false;
  std::uint32_t coefficients_rows_ = 0;
  std::vector<std::int8_t> signed_bytes_;
};

// find_peaks(score_map(haystack, pattern), ...) without holding the whole map:
// rows are scored a few at a time and judged as soon as their neighbours exist,
// and each peak goes to `sink` as it is found.
void map_peaks(RgbView haystack, PatternTables& pattern, const PeakSpec& spec, PeakSink& sink);

// Scores of one map row from its window statistics and cross products, each
// given as three channel planes of `count` doubles (plane stride `count`).
void score_row(const double* window_sum, const double* window_squares, const double* cross, std::size_t count,
               const PatternStats& stats, float* out);

// Computes a score map a few rows at a time, reusing its buffers: streamed
// integer window sums (no summed-area tables) and integer cross products over
// a ring of the haystack rows in use, widened to 16 bits per channel.
class ScoreMapper {
 public:
  // The pattern's statistics must show it is not flat.
  ScoreMapper(RgbView haystack, PatternTables& pattern);
  // Scores map rows y, y+1, ... (at most `limit`; calls go down the map in
  // order) into `out`, row-major; returns how many rows were done.
  std::uint32_t score_rows(std::uint32_t y, std::uint32_t limit, float* out);

 private:
  void load_rows(std::uint32_t first, std::uint32_t end);
  void window_statistics(std::uint32_t y, double* sum, double* squares);

  RgbView haystack_;
  RgbView pattern_;
  PatternStats stats_;
  std::uint32_t map_width_;
  bool byte_form_;  // the kernel takes bytes and signed byte quads
  bool dot_form_;   // narrow map: one placement at a time (byte form only)
  std::uint32_t block_rows_;
  std::size_t groups_;   // pattern values per row, in pairs or quads
  std::size_t row_length_;
  std::uint32_t ring_slots_;
  std::uint32_t loaded_begin_ = 0;
  std::uint32_t loaded_end_ = 0;
  std::uint32_t next_statistics_row_ = 0;
  const std::int32_t* coefficients_ = nullptr;  // per channel, per padded pattern row, per group
  const std::int8_t* pattern_bytes_ = nullptr;   // dot form: per channel, per row, values - 128
  std::vector<std::int16_t> ring_;          // per slot, per channel, row_length_ values
  std::vector<std::uint8_t> ring_bytes_;    // the same, for the byte form
  std::vector<const void*> row_pointers_;
  std::vector<std::int64_t> cross_sums_;    // per block row, per channel
  // Vertical sums over the current h rows, per pixel and channel
  // (interleaved): 32 bits while h * 255^2 fits, else 64.
  bool wide_columns_;
  bool narrow_windows_;
  std::vector<std::uint32_t> box_scratch_;
  std::vector<std::uint32_t> column_sum_;
  std::vector<std::uint32_t> column_squares_;
  std::vector<std::uint64_t> wide_sum_;
  std::vector<std::uint64_t> wide_squares_;
  // Three channel planes of map_width_ doubles each.
  std::vector<double> window_sum_;
  std::vector<double> window_squares_;
  std::vector<double> cross_;
};

}  // namespace vision_core
