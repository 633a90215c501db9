// PNG decode and encode of a 2880x1800 screenshot-like image, the size of a
// high-density laptop display capture.

#include <benchmark/benchmark.h>
#include <png.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/base64.h"
#include "cv/image_input.h"
#include "cv/png_input.h"
#include "cv/png_output.h"
#include "testkit/synthetic_screen.h"

namespace {

constexpr std::uint32_t kWidth = 2880;
constexpr std::uint32_t kHeight = 1800;

// Window chrome, flat panels, lines of glyph-like marks, a gradient and a
// noisy photo-like area.
std::vector<std::uint8_t> screenshot_pixels(std::size_t channels) {
  std::vector<std::uint8_t> pixels(std::size_t{kWidth} * kHeight * channels);
  std::uint32_t seed = 7;
  auto random = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 16;
  };
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      std::uint8_t r = 246, g = 246, b = 248;
      if (y < 80) {
        r = 52, g = 56, b = 64;  // title bar
      } else if (x < 520) {
        r = 232, g = 236, b = 241;  // side panel
        if ((y / 40) % 6 == 0) r = 210, g = 220, b = 240;
      } else if (x > 2200 && y > 300 && y < 1100) {
        // photo: smooth shading with a little sensor noise
        r = static_cast<std::uint8_t>((x + y) / 8 + random() % 8), g = static_cast<std::uint8_t>(x / 5 + random() % 8),
        b = static_cast<std::uint8_t>(y / 5 + random() % 8);
      } else if (y > 1400) {
        r = static_cast<std::uint8_t>(x / 12), g = static_cast<std::uint8_t>(y / 8), b = 200;  // gradient
      }
      // Text lines: 28-pixel rows with glyph-sized dark marks.
      // Text lines: 22-pixel rows of 9-pixel glyph cells with word gaps; the
      // glyph shape is a fixed pattern picked per cell, as letters repeat.
      if (y > 120 && y < 1350 && x > 560 && x < 2150 && (y % 36) < 22 && (x / 9 + y / 36) % 7 != 0) {
        const std::uint32_t glyph = (x / 9 * 2654435761u + y / 36 * 40503u) % 26;
        const std::uint32_t gx = x % 9;
        const std::uint32_t gy = y % 36;
        if (((glyph * 0x9E3779B1u) >> ((gx * 3 + gy) % 29) & 1) != 0 && gx < 7) r = g = b = 30;
      }
      std::uint8_t* p = &pixels[(std::size_t{y} * kWidth + x) * channels];
      p[0] = r;
      p[1] = g;
      p[2] = b;
      if (channels == 4) p[3] = 255;
    }
  }
  return pixels;
}

std::string temp_path(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/" + name + "-" + std::to_string(getpid()) + ".png";
}

std::vector<std::uint8_t> screenshot_png() {
  static const std::vector<std::uint8_t> png = [] {
    const std::string path = temp_path("pelagon2-bench-decode");
    const auto pixels = screenshot_pixels(3);
    const auto written = pelagon2::cv::write_png_file(pixels, kWidth, kHeight, pelagon2::cv::PngColor::rgb, 96.0, path);
    if (!written.ok()) return std::vector<std::uint8_t>();
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return bytes;
  }();
  return png;
}

void append_bytes(png_structp png, png_bytep data, std::size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

bool encode_frame(png_structp png, png_infop info, std::vector<png_bytep>& rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  return true;
}

// The same picture as a general-purpose encoder writes it (adaptive filters
// per row, default compression), as images sent by a client usually are.
std::vector<std::uint8_t> adaptive_png() {
  static const std::vector<std::uint8_t> png = [] {
    auto pixels = screenshot_pixels(3);
    std::vector<png_bytep> rows;
    for (std::uint32_t y = 0; y < kHeight; ++y) rows.push_back(pixels.data() + std::size_t{y} * kWidth * 3);
    std::vector<std::uint8_t> out;
    png_structp png_ptr = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png_ptr);
    png_set_write_fn(png_ptr, &out, append_bytes, nullptr);
    const bool ok = encode_frame(png_ptr, info, rows);
    png_destroy_write_struct(&png_ptr, &info);
    return ok ? out : std::vector<std::uint8_t>();
  }();
  return png;
}

// The haystack of search_request_bench: a synthetic screen as libpng writes
// it by default.
std::vector<std::uint8_t> search_haystack_png() {
  static const std::vector<std::uint8_t> png = [] {
    const std::string bytes =
        pelagon2::testing::encode_png(pelagon2::testing::synthetic_screen(kWidth, kHeight, 42), 192.0);
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  }();
  return png;
}

std::vector<std::uint8_t> test_png(std::int64_t which) {
  return which == 0 ? screenshot_png() : which == 1 ? adaptive_png() : search_haystack_png();
}

void BM_DecodePngRgb(benchmark::State& state) {
  const auto png = test_png(state.range(0));
  if (png.empty()) return state.SkipWithError("could not write the test PNG");
  for (auto _ : state) {
    auto image = pelagon2::cv::decode_png_rgb(png);
    if (!image.ok()) return state.SkipWithError(image.error().c_str());
    benchmark::DoNotOptimize(image->pixels.data());
  }
  state.counters["png_bytes"] = static_cast<double>(png.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kWidth * kHeight * 3);
}
// 0: as written by write_png_file (Sub filter, fast deflate); 1: adaptive
// filters; 2: the haystack of search_request_bench.
BENCHMARK(BM_DecodePngRgb)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// Baseline for BM_DecodePngRgb: libpng (inflating with zlib) to 8-bit RGB.
void BM_DecodePngLibpng(benchmark::State& state) {
  const auto png = test_png(state.range(0));
  if (png.empty()) return state.SkipWithError("could not write the test PNG");
  std::vector<std::uint8_t> pixels(std::size_t{kWidth} * kHeight * 3);
  for (auto _ : state) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory(&image, png.data(), png.size()) == 0) {
      return state.SkipWithError("libpng refused the test PNG");
    }
    image.format = PNG_FORMAT_RGB;
    if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0) {
      return state.SkipWithError("libpng failed");
    }
    benchmark::DoNotOptimize(pixels.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kWidth * kHeight * 3);
}
BENCHMARK(BM_DecodePngLibpng)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// What a search request pays for its image parameter: base64 text to pixels.
void BM_DecodeImageParam(benchmark::State& state) {
  const pelagon2::Json param = {{"data", pelagon2::base64_encode(screenshot_png())}};
  for (auto _ : state) {
    auto decoded = pelagon2::cv::decode_image_param(param, "image");
    if (!decoded.ok()) return state.SkipWithError(decoded.error().c_str());
    benchmark::DoNotOptimize(decoded->image.pixels.data());
  }
}
BENCHMARK(BM_DecodeImageParam)->Unit(benchmark::kMillisecond);

void BM_WritePngFile(benchmark::State& state) {
  const std::size_t channels = static_cast<std::size_t>(state.range(0));
  const auto pixels = screenshot_pixels(channels);
  const auto color = channels == 4 ? pelagon2::cv::PngColor::rgba : pelagon2::cv::PngColor::rgb;
  const std::string path = temp_path("pelagon2-bench-encode");
  for (auto _ : state) {
    auto written = pelagon2::cv::write_png_file(pixels, kWidth, kHeight, color, 192.0, path);
    if (!written.ok()) return state.SkipWithError(written.error().c_str());
  }
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  state.counters["png_bytes"] = static_cast<double>(in.tellg());
  std::remove(path.c_str());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pixels.size()));
}
BENCHMARK(BM_WritePngFile)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

bool encode_sub_level1(png_structp png, png_infop info, std::vector<png_bytep>& rows, int color_type) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, kWidth, kHeight, 8, color_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_compression_level(png, 1);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  return true;
}

// Baseline for BM_WritePngFile: the same rows Sub-filtered and deflated by
// zlib at its fastest level through libpng, written to the same file.
void BM_WritePngZlibLevel1(benchmark::State& state) {
  const std::size_t channels = static_cast<std::size_t>(state.range(0));
  auto pixels = screenshot_pixels(channels);
  std::vector<png_bytep> rows;
  for (std::uint32_t y = 0; y < kHeight; ++y) rows.push_back(pixels.data() + std::size_t{y} * kWidth * channels);
  const std::string path = temp_path("pelagon2-bench-encode-zlib");
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return state.SkipWithError("cannot create the file");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    const bool ok = encode_sub_level1(png, info, rows, channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB);
    png_destroy_write_struct(&png, &info);
    bytes = static_cast<std::size_t>(std::ftell(file));
    std::fclose(file);
    if (!ok) return state.SkipWithError("libpng failed");
  }
  std::remove(path.c_str());
  state.counters["png_bytes"] = static_cast<double>(bytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pixels.size()));
}
BENCHMARK(BM_WritePngZlibLevel1)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
