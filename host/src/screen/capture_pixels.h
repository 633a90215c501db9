#pragma once
// Pixel order conversions of screen captures, vectorised per CPU target.

#include <cstddef>
#include <cstdint>

namespace pelagon2::screen {

// `count` pixels of blue, green, red, alpha/unused become red, green, blue.
void bgra_to_rgb(const std::uint8_t* src, std::uint8_t* dst, std::size_t count);

// `count` pixels of blue, green, red, alpha become red, green, blue, alpha;
// with `opaque` the alpha byte is 255 whatever was delivered.
void bgra_to_rgba(const std::uint8_t* src, std::uint8_t* dst, std::size_t count, bool opaque);

}  // namespace pelagon2::screen
