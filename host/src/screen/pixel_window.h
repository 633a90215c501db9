#pragma once
// A rectangle of an image's pixels, as the searches of a capture or of a
// given image clip it.

#include <cstdint>

namespace pelagon2::screen {

// Pixel columns [left, right) and rows [top, bottom); empty when left >= right
// or top >= bottom.
struct PixelWindow {
  std::uint32_t left = 0, top = 0, right = 0, bottom = 0;
  bool empty() const { return left >= right || top >= bottom; }
  friend bool operator==(const PixelWindow&, const PixelWindow&) = default;
};

}  // namespace pelagon2::screen
