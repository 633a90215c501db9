#pragma once
// Entry points of the vectorised kernels (chosen for the running CPU).

#include <cstddef>
#include <cstdint>

#include "match_internal.h"

namespace vision_core {

// How a kernel takes the pattern: pairs of 16-bit values multiplied by 16-bit
// haystack values, or quads of signed bytes (pattern value - 128) multiplied
// by the haystack bytes, whose sums need 128 * window sum added back.
enum class CrossForm { pairs16, quads8 };

// The form the running CPU's kernel wants.
CrossForm cross_form();

// Integer cross products of one channel for `block_rows` consecutive map rows.
// rows[j] is haystack row (first map row + j) of the channel (16-bit values
// for pairs16, bytes for quads8), padded so that reads may run past the last
// placement. Coefficients hold the packed pattern groups per pattern row,
// preceded and followed by block_rows - 1 zero rows. Only haystack rows
// [row_begin, row_end) and groups [group_begin, group_end) are taken; the
// caller keeps the product count of one sum within 32 bits. Sums are added to
// out[i * out_stride + x].
struct CrossJob {
  const void* const* rows = nullptr;
  std::size_t row_begin = 0;
  std::size_t row_end = 0;
  const std::int32_t* coefficients = nullptr;
  std::size_t groups = 0;
  std::size_t group_begin = 0;
  std::size_t group_end = 0;
  std::size_t count = 0;
  std::int64_t* out = nullptr;
  std::size_t out_stride = 0;
  int block_rows = 1;
};

// Placements (beyond `count`) that a kernel may compute, and so the padding
// that rows and outputs need.
inline constexpr std::size_t kPlacementSlack = 512;

void cross_products(const CrossJob& job);

void score_row_scalar(const double* window_sum, const double* window_squares, const double* cross,
                      std::size_t count, std::size_t plane_stride, const PatternStats& stats, float* out);

// column[i] = sum over k of weights[k] * rows[k][i] in single precision, k ascending.
void vertical_row(const std::uint8_t* const* rows, std::uint32_t count, const float* weights, std::size_t values,
                  float* column);

}  // namespace vision_core
