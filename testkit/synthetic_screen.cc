// Test and benchmark images: the pictures and their encodings.

#include "testkit/synthetic_screen.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <span>

#include "core/base64.h"

namespace pelagon2::testing {

void fill_rect(vision_core::RgbImage& image, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h,
               std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  const std::uint32_t right = std::min(image.width, x + w);
  const std::uint32_t bottom = std::min(image.height, y + h);
  for (std::uint32_t row = y; row < bottom; ++row) {
    for (std::uint32_t col = x; col < right; ++col) {
      std::uint8_t* p = &image.pixels[(std::size_t{row} * image.width + col) * 3];
      p[0] = r;
      p[1] = g;
      p[2] = b;
    }
  }
}

vision_core::RgbImage noise_image(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  vision_core::RgbImage image(width, height);
  Lcg rng(seed);
  for (std::uint8_t& v : image.pixels) v = rng.byte();
  return image;
}

vision_core::RgbImage synthetic_screen(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  vision_core::RgbImage image(width, height);
  fill_rect(image, 0, 0, width, height, 236, 236, 240);
  Lcg rng(seed);
  for (int panel = 0; panel < 12; ++panel) {
    const std::uint32_t pw = 200 + rng.below(std::max(1u, width / 3));
    const std::uint32_t ph = 120 + rng.below(std::max(1u, height / 3));
    const std::uint32_t px = rng.below(std::max(1u, width));
    const std::uint32_t py = rng.below(std::max(1u, height));
    const std::uint8_t r = rng.byte(), g = rng.byte(), b = rng.byte();
    for (std::uint32_t row = py; row < std::min(height, py + ph); ++row) {
      const auto shade = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, 160 + (row - py) * 64 / ph));
      fill_rect(image, px, row, pw, 1, static_cast<std::uint8_t>(r / 2 + shade / 2),
                static_cast<std::uint8_t>(g / 2 + shade / 2), static_cast<std::uint8_t>(b / 2 + shade / 2));
    }
  }
  // Two "photos": smooth colour ramps with grain, the part of a screenshot
  // that compresses worst.
  for (int photo = 0; photo < 2; ++photo) {
    const std::uint32_t pw = std::min(width, 320 + rng.below(std::max(1u, width / 4)));
    const std::uint32_t ph = std::min(height, 200 + rng.below(std::max(1u, height / 4)));
    const std::uint32_t px = rng.below(std::max(1u, width - pw + 1));
    const std::uint32_t py = rng.below(std::max(1u, height - ph + 1));
    for (std::uint32_t row = 0; row < ph; ++row) {
      for (std::uint32_t col = 0; col < pw; ++col) {
        std::uint8_t* p = &image.pixels[(std::size_t{py + row} * width + px + col) * 3];
        const std::uint32_t grain = rng.below(24);
        p[0] = static_cast<std::uint8_t>((col * 200 / pw + grain) & 0xFF);
        p[1] = static_cast<std::uint8_t>((row * 180 / ph + grain) & 0xFF);
        p[2] = static_cast<std::uint8_t>(((col + row) * 120 / (pw + ph) + 60 + grain) & 0xFF);
      }
    }
  }
  // Text lines: glyphs are 6-9 px wide, 11 px high, built from random strokes.
  for (std::uint32_t line = 8; line + 14 < height; line += 16 + rng.below(12)) {
    std::uint32_t x = 10 + rng.below(60);
    const std::uint32_t end = std::min(width, x + 300 + rng.below(std::max(1u, width * 3 / 4)));
    const std::uint8_t ink = static_cast<std::uint8_t>(rng.below(80));
    while (x + 10 < end) {
      const std::uint32_t glyph = 6 + rng.below(4);
      for (int stroke = 0; stroke < 4; ++stroke) {
        if (rng.below(2) == 0) {
          fill_rect(image, x + rng.below(glyph), line + rng.below(4), 1, 4 + rng.below(8), ink, ink, ink);
        } else {
          fill_rect(image, x + rng.below(3), line + rng.below(11), 2 + rng.below(glyph - 2), 1, ink, ink, ink);
        }
      }
      x += glyph + 1 + (rng.below(6) == 0 ? 5 : 0);
    }
  }
  return image;
}

std::pair<std::uint32_t, std::uint32_t> busiest_window(const vision_core::RgbImage& image, std::uint32_t size) {
  std::pair<std::uint32_t, std::uint32_t> best{0, 0};
  double best_variance = -1.0;
  for (std::uint32_t y = 37; y + size <= image.height; y += 173) {
    for (std::uint32_t x = 51; x + size <= image.width; x += 211) {
      double sum = 0.0, squares = 0.0;
      for (std::uint32_t row = y; row < y + size; ++row) {
        const std::uint8_t* p = image.view().row(row) + std::size_t{x} * 3;
        for (std::uint32_t i = 0; i < size * 3; ++i) {
          sum += p[i];
          squares += static_cast<double>(p[i]) * p[i];
        }
      }
      const double n = size * size * 3.0;
      const double variance = squares / n - (sum / n) * (sum / n);
      if (variance > best_variance) {
        best_variance = variance;
        best = {x, y};
      }
    }
  }
  return best;
}

vision_core::RgbImage crop(const vision_core::RgbImage& image, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                           std::uint32_t height) {
  vision_core::RgbImage out(width, height);
  for (std::uint32_t row = 0; row < height; ++row) {
    const std::uint8_t* src = &image.pixels[(std::size_t{y + row} * image.width + x) * 3];
    std::copy(src, src + std::size_t{width} * 3, &out.pixels[std::size_t{row} * width * 3]);
  }
  return out;
}

vision_core::RgbImage upscale_nearest(const vision_core::RgbImage& image, std::uint32_t factor) {
  vision_core::RgbImage out(image.width * factor, image.height * factor);
  for (std::uint32_t y = 0; y < out.height; ++y) {
    for (std::uint32_t x = 0; x < out.width; ++x) {
      const std::uint8_t* src = &image.pixels[(std::size_t{y / factor} * image.width + x / factor) * 3];
      std::copy(src, src + 3, &out.pixels[(std::size_t{y} * out.width + x) * 3]);
    }
  }
  return out;
}

std::string encode_png(const vision_core::RgbImage& image, std::optional<double> dpi) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return std::string();
  }
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep data, png_size_t size) {
        static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<const char*>(data), size);
      },
      nullptr);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (dpi) {
    const auto ppm = static_cast<png_uint_32>(std::lround(*dpi / 0.0254));
    png_set_pHYs(png, info, ppm, ppm, PNG_RESOLUTION_METER);
  }
  png_set_compression_level(png, 1);
  png_write_info(png, info);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    png_write_row(png, const_cast<png_bytep>(image.view().row(y)));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

Json png_param(const vision_core::RgbImage& image, std::optional<double> dpi) {
  return Json{{"data", base64_encode(encode_png(image, dpi))}};
}

Json raw_param(const vision_core::RgbImage& image, std::optional<double> dpi) {
  Json param{{"data", base64_encode(std::span<const std::uint8_t>(image.pixels))},
             {"width", image.width},
             {"height", image.height}};
  if (dpi) param["dpiX"] = *dpi;
  return param;
}

std::string rect_text(std::int64_t x, std::int64_t y, std::uint32_t w, std::uint32_t h) {
  return R"({"height":)" + std::to_string(h) + R"(,"width":)" + std::to_string(w) + R"(,"x":)" + std::to_string(x) +
         R"(,"y":)" + std::to_string(y) + "}";
}

}  // namespace pelagon2::testing
