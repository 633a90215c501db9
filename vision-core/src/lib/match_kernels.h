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
// caller keeps the product count of one sum within 32 bits. Sums are stored
// in (or added to) out[i * out_stride + x] for whole blocks of placements,
// so out needs kPlacementSlack values of room beyond `count`.
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
  bool accumulate = false;  // add to out (later chunks) rather than store
};

// Cross products of one channel for one map row with few placements, one
// placement at a time: out[x] = sum over pattern rows v and bytes u of
// rows[v][x + u] * pattern[v * pattern_stride + u], pattern holding the
// signed values - 128 zero-padded to whole segments of 64 bytes. Only used in
// the byte form; the caller keeps rows * segments * 64 products per sum
// within 32 bits.
struct DotJob {
  const void* const* rows = nullptr;  // bytes
  std::size_t row_count = 0;
  const std::int8_t* pattern = nullptr;
  std::size_t pattern_stride = 0;  // 64 * segments
  std::size_t count = 0;
  std::int64_t* out = nullptr;
};

void dot_products(const DotJob& job);

// One output row of the horizontal resampling pass, for `width` pixels:
// channel c of pixel x is the sum over taps t of weights[t * stride + x] *
// column[indices[t * stride + x] + c] (single precision, t ascending), clamped
// to 0..255 and rounded half away from zero. Unused taps have weight zero.
void horizontal_row(const float* column, const std::int32_t* indices, const float* weights, std::size_t taps,
                    std::size_t stride, std::uint32_t width, std::uint8_t* out);

// Widest float vector any target uses, in lanes; buffers handed to
// quarter_row are padded by a multiple of it.
inline constexpr std::size_t kMaxFloatLanes = 64;

// The horizontal pass for output pixels [begin, end) whose source taps are
// the same `taps` weights at source pixels 4x + offset + t (a reduction by
// exactly four): per channel the column is split into four phase planes so
// that each tap is one contiguous load. column holds the vertical-pass row
// (3 * source_width values, readable up to 3 * padded_width where
// padded_width is source_width rounded up to 4 * kMaxFloatLanes); scratch
// holds 6 * padded_width floats. Same operations per pixel as horizontal_row.
void quarter_row(const float* column, std::size_t padded_width, float* scratch, std::int64_t offset,
                 const float* weights, std::size_t taps, std::uint32_t begin, std::uint32_t end, std::uint8_t* out);

// Splits `width` RGB pixels into three planes (bytes, or 16-bit values when
// `planes16` is not null) at planes + c * stride.
void split_channels(const std::uint8_t* rgb, std::size_t width, std::uint8_t* planes8, std::int16_t* planes16,
                    std::size_t stride);

// Column statistics of a moving band of rows: sum[i] += add[i] - sub[i] and
// squares[i] += add[i]^2 - sub[i]^2 for i < n (sub may be null). The caller
// keeps the true values within 32 bits.
void column_update(const std::uint8_t* add, const std::uint8_t* sub, std::size_t n, std::uint32_t* sum,
                   std::uint32_t* squares);

// Window sums of w consecutive pixels for `count` placements, per channel,
// from interleaved 32-bit column sums and squares of 3 * width values
// (width >= count + w - 1), written as three planes of doubles each. The
// caller keeps every window total within 32 bits. scratch holds 2 * (3 *
// width + 3 * kMaxFloatLanes) values.
void window_sums(const std::uint32_t* sum, const std::uint32_t* squares, std::size_t width, std::size_t w,
                 std::size_t count, std::uint32_t* scratch, double* out_sum, double* out_squares);

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
