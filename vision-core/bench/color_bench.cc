// Colour finder timings on screen-sized pictures: a desktop-like screen with a
// few coloured shapes, one colour over the whole screen, and a checkerboard
// (the most components and rectangles a screen can hold).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "vision_core/color_regions.h"
#include "vision_core/image.h"

namespace {

using vision_core::Rgb8;
using vision_core::RgbImage;

constexpr Rgb8 kRed{255, 0, 0};

void fill(RgbImage& image, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h, Rgb8 c) {
  for (std::uint32_t row = y; row < y + h && row < image.height; ++row) {
    for (std::uint32_t col = x; col < x + w && col < image.width; ++col) {
      std::uint8_t* p = &image.pixels[(std::size_t{row} * image.width + col) * 3];
      p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
  }
}

RgbImage desktop(std::uint32_t w, std::uint32_t h) {
  RgbImage image(w, h);
  fill(image, 0, 0, w, h, Rgb8{238, 239, 242});
  std::mt19937 engine(7);
  const auto rng = [&] { return static_cast<std::uint32_t>(engine()); };
  for (int i = 0; i < 300; ++i) {
    const auto c = static_cast<std::uint8_t>(rng() % 256);
    fill(image, rng() % w, rng() % h, 20 + rng() % 400, 10 + rng() % 300, Rgb8{c, static_cast<std::uint8_t>(255 - c), 90});
  }
  for (int i = 0; i < 40; ++i) fill(image, rng() % w, rng() % h, 5 + rng() % 80, 5 + rng() % 80, kRed);
  return image;
}

RgbImage solid(std::uint32_t w, std::uint32_t h) {
  RgbImage image(w, h);
  fill(image, 0, 0, w, h, kRed);
  return image;
}

RgbImage checkerboard(std::uint32_t w, std::uint32_t h) {
  RgbImage image(w, h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      if ((x + y) % 2 == 0) fill(image, x, y, 1, 1, kRed);
    }
  }
  return image;
}

template <RgbImage (*Make)(std::uint32_t, std::uint32_t)>
void BM_ColorRegions(benchmark::State& state) {
  const RgbImage image = Make(2880, 1800);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vision_core::color_regions(image.view(), kRed, 10, 3, 3));
  }
  state.SetItemsProcessed(state.iterations() * image.width * image.height);
}

template <RgbImage (*Make)(std::uint32_t, std::uint32_t)>
void BM_LargestColorRectangle(benchmark::State& state) {
  const RgbImage image = Make(2880, 1800);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vision_core::largest_color_rectangle(image.view(), kRed));
  }
  state.SetItemsProcessed(state.iterations() * image.width * image.height);
}

BENCHMARK(BM_ColorRegions<desktop>)->Name("color_regions/desktop_2880x1800")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColorRegions<solid>)->Name("color_regions/solid_2880x1800")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColorRegions<checkerboard>)->Name("color_regions/checkerboard_2880x1800")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargestColorRectangle<desktop>)->Name("largest_color_rectangle/desktop_2880x1800")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargestColorRectangle<solid>)->Name("largest_color_rectangle/solid_2880x1800")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargestColorRectangle<checkerboard>)
    ->Name("largest_color_rectangle/checkerboard_2880x1800")
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
