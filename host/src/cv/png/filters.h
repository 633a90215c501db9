#pragma once
// The scanline filters of PNG image data, for 8-bit RGB and RGBA rows.

#include <cstddef>
#include <cstdint>

namespace pelagon2::cv::png {

// One scanline filter. `prior` is the unfiltered row above (all zeros for the
// first row); bytes left of the row count as 0. `dst` may start before `src`
// in the same buffer: each byte is read before anything at or after it is
// written. False for an unknown filter type.
template <std::size_t Bpp>
bool unfilter_row(std::uint8_t type, const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst,
                  std::size_t n);

extern template bool unfilter_row<3>(std::uint8_t, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                                     std::size_t);
extern template bool unfilter_row<4>(std::uint8_t, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                                     std::size_t);

// An unfiltered RGBA row as RGB.
void drop_alpha(const std::uint8_t* row, std::uint8_t* out, std::size_t width);

}  // namespace pelagon2::cv::png
