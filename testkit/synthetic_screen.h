#pragma once
// Test and benchmark images: screenshot-like and noise pictures, crops, and
// their encodings as image parameters (raw RGB or PNG, base64).

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/json.h"
#include "vision_core/image.h"

namespace pelagon2::testing {

// Small deterministic generator, so every run sees the same pictures.
class Lcg {
 public:
  explicit Lcg(std::uint32_t seed) : state_(seed * 2654435761u + 1u) {}
  std::uint32_t next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state_ >> 33);
  }
  std::uint32_t below(std::uint32_t bound) { return next() % bound; }
  std::uint8_t byte() { return static_cast<std::uint8_t>(next() >> 8); }

 private:
  std::uint64_t state_;
};

// Paints [x, x + w) x [y, y + h), clipped to the image.
void fill_rect(vision_core::RgbImage& image, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h,
               std::uint8_t r, std::uint8_t g, std::uint8_t b);

// Every byte random: any window of a few pixels is unique.
vision_core::RgbImage noise_image(std::uint32_t width, std::uint32_t height, std::uint32_t seed);

// Looks like a desktop: flat background, panels with gradients, and lines of
// random dark "glyphs", so it compresses like a screenshot and every text
// block is unique.
vision_core::RgbImage synthetic_screen(std::uint32_t width, std::uint32_t height, std::uint32_t seed);

// The most varied size x size window on a coarse grid: a piece of text or
// photo, not a flat panel, so it occurs once. Returns its top-left corner.
std::pair<std::uint32_t, std::uint32_t> busiest_window(const vision_core::RgbImage& image, std::uint32_t size);

// The width x height piece at (x, y), which must lie inside the image.
vision_core::RgbImage crop(const vision_core::RgbImage& image, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                           std::uint32_t height);

// Each pixel becomes a factor x factor block.
vision_core::RgbImage upscale_nearest(const vision_core::RgbImage& image, std::uint32_t factor);

// An 8-bit RGB PNG in memory; with `dpi`, a pHYs chunk in pixels per metre.
// Empty if libpng fails.
std::string encode_png(const vision_core::RgbImage& image, std::optional<double> dpi = std::nullopt);

// Image parameters: {"data": base64 PNG}, or raw RGB with its size (and "dpiX").
Json png_param(const vision_core::RgbImage& image, std::optional<double> dpi = std::nullopt);
Json raw_param(const vision_core::RgbImage& image, std::optional<double> dpi = std::nullopt);

// A rectangle as the replies write it (members in key order).
std::string rect_text(std::int64_t x, std::int64_t y, std::uint32_t w, std::uint32_t h);

}  // namespace pelagon2::testing
