#pragma once
// The scanline filters of PNG image data, for 8-bit RGB and RGBA rows.
// Compiled once per CPU target and chosen at run time.

#include <cstddef>
#include <cstdint>

namespace pelagon2::cv::png {

// Undoes one scanline filter (0 none, 1 Sub, 2 Up, 3 Average, 4 Paeth) of a
// row of `n` bytes with `bpp` (3 or 4) bytes per pixel. `prior` is the
// unfiltered row above (all zeros for the first row); bytes left of the row
// count as 0. `dst` may start before `src` in the same buffer: each byte is
// read before anything at or after it is written. False for an unknown filter
// type or pixel size.
bool unfilter_row(std::size_t bpp, std::uint8_t type, const std::uint8_t* src, const std::uint8_t* prior,
                  std::uint8_t* dst, std::size_t n);

// Writes `row` (`row_bytes` bytes, `bpp` bytes per pixel) to `out` as a
// Sub-filtered scanline: the filter byte, then `row_bytes` differences.
void sub_filter_row(const std::uint8_t* row, std::size_t row_bytes, std::size_t bpp, std::uint8_t* out);

// An unfiltered RGBA row as RGB.
void drop_alpha(const std::uint8_t* row, std::uint8_t* out, std::size_t width);

}  // namespace pelagon2::cv::png
