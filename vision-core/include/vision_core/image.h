#pragma once
// 8-bit RGB images: three bytes per pixel (R, G, B), rows top to bottom.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vision_core {

// Borrowed pixels. `stride` is the distance between rows in bytes (at least
// width * 3), so a rectangle of a larger image can be viewed without copying.
struct RgbView {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  const std::uint8_t* pixels = nullptr;
  std::size_t stride = 0;

  const std::uint8_t* row(std::uint32_t y) const { return pixels + std::size_t{y} * stride; }
  RgbView crop(std::uint32_t left, std::uint32_t top, std::uint32_t w, std::uint32_t h) const {
    return RgbView{w, h, pixels + std::size_t{top} * stride + std::size_t{left} * 3, stride};
  }
};

// Owned pixels, rows packed without gaps.
struct RgbImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;

  RgbImage() = default;
  RgbImage(std::uint32_t w, std::uint32_t h) : width(w), height(h), pixels(std::size_t{w} * h * 3) {}

  RgbView view() const { return RgbView{width, height, pixels.data(), std::size_t{width} * 3}; }
};

}  // namespace vision_core
