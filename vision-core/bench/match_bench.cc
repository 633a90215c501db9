// Matcher timings on screenshot-like images. Where OpenCV is available the
// same program times its normalised correlation coefficient map on the same
// images, and prints our time over its time for each pair.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "vision_core/image.h"
#include "vision_core/match.h"

#ifdef PELAGON2_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using vision_core::RgbImage;

// Flat panels, gradients, text-like strokes and some noise, from a fixed seed.
RgbImage screenshot_like(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  std::mt19937 rng(seed);
  auto draw = [&](std::uint32_t bound) { return static_cast<std::uint32_t>(rng() % bound); };
  RgbImage img(width, height);
  auto put = [&](std::uint32_t x, std::uint32_t y, std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    std::uint8_t* p = img.pixels.data() + (std::size_t{y} * width + x) * 3;
    p[0] = static_cast<std::uint8_t>(r);
    p[1] = static_cast<std::uint8_t>(g);
    p[2] = static_cast<std::uint8_t>(b);
  };
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x) put(x, y, 238, 239, 242);
  const std::uint32_t panels = 20 + width * height / 20000;
  for (std::uint32_t i = 0; i < panels; ++i) {
    const std::uint32_t x0 = draw(width), y0 = draw(height);
    const std::uint32_t w = 8 + draw(std::max(9u, width / 5)), h = 8 + draw(std::max(9u, height / 5));
    const std::uint32_t r = draw(256), g = draw(256), b = draw(256), kind = draw(3);
    for (std::uint32_t y = y0; y < std::min(height, y0 + h); ++y)
      for (std::uint32_t x = x0; x < std::min(width, x0 + w); ++x) {
        if (kind == 0) put(x, y, r, g, b);
        if (kind == 1) put(x, y, (r + x - x0) & 255, (g + y - y0) & 255, b);
        if (kind == 2) put(x, y, (r + draw(24)) & 255, (g + draw(24)) & 255, (b + draw(24)) & 255);
      }
  }
  for (std::uint32_t i = 0; i < panels * 40; ++i) {  // glyph strokes
    const std::uint32_t x0 = draw(width), y0 = draw(height), len = 2 + draw(9);
    const bool horizontal = draw(2) == 0;
    for (std::uint32_t t = 0; t < len; ++t) {
      const std::uint32_t x = horizontal ? x0 + t : x0, y = horizontal ? y0 : y0 + t;
      if (x < width && y < height) put(x, y, 30, 30, 40);
    }
  }
  return img;
}

RgbImage cut(const RgbImage& src, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h) {
  RgbImage out(w, h);
  for (std::uint32_t r = 0; r < h; ++r)
    std::copy_n(src.pixels.data() + (std::size_t{y + r} * src.width + x) * 3, std::size_t{w} * 3,
                out.pixels.data() + std::size_t{r} * w * 3);
  return out;
}

struct Inputs {
  RgbImage haystack;
  RgbImage pattern;
};

const Inputs& inputs(std::uint32_t width, std::uint32_t height) {
  static std::map<std::pair<std::uint32_t, std::uint32_t>, Inputs> cache;
  auto it = cache.find({width, height});
  if (it == cache.end()) {
    Inputs in{screenshot_like(width, height, 2024), {}};
    in.pattern = cut(in.haystack, width / 3, height / 2, 64, 64);
    it = cache.emplace(std::pair{width, height}, std::move(in)).first;
  }
  return it->second;
}

void BM_ScoreMap(benchmark::State& state) {
  const Inputs& in = inputs(static_cast<std::uint32_t>(state.range(0)), static_cast<std::uint32_t>(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(vision_core::score_map(in.haystack.view(), in.pattern.view()));
}
BENCHMARK(BM_ScoreMap)->Args({800, 600})->Unit(benchmark::kMillisecond);

void BM_MatchPattern(benchmark::State& state) {
  const Inputs& in = inputs(static_cast<std::uint32_t>(state.range(0)), static_cast<std::uint32_t>(state.range(1)));
  std::size_t found = 0;
  for (auto _ : state) {
    const auto peaks = vision_core::match_pattern(in.haystack.view(), in.pattern.view(), 1.0f, 0.8f);
    found = peaks.size();
    benchmark::DoNotOptimize(peaks.data());
  }
  state.counters["matches"] = static_cast<double>(found);
}
BENCHMARK(BM_MatchPattern)->Args({2880, 1800})->Args({800, 600})->Unit(benchmark::kMillisecond);

void BM_ResampleQuarter(benchmark::State& state) {
  const Inputs& in = inputs(static_cast<std::uint32_t>(state.range(0)), static_cast<std::uint32_t>(state.range(1)));
  for (auto _ : state)
    benchmark::DoNotOptimize(vision_core::resample(in.haystack.view(), in.haystack.width / 4, in.haystack.height / 4,
                                                   vision_core::ResampleFilter::triangle));
}
BENCHMARK(BM_ResampleQuarter)->Args({2880, 1800})->Unit(benchmark::kMillisecond);

void BM_ScoreMapSmallPattern(benchmark::State& state) {
  const Inputs& in = inputs(2880, 1800);
  const RgbImage small = cut(in.haystack, 1000, 700, 12, 12);
  for (auto _ : state) benchmark::DoNotOptimize(vision_core::score_map(in.haystack.view(), small.view()));
}
BENCHMARK(BM_ScoreMapSmallPattern)->Unit(benchmark::kMillisecond);

#ifdef PELAGON2_HAVE_OPENCV
void BM_OpenCvMatchTemplate(benchmark::State& state) {
  const Inputs& in = inputs(static_cast<std::uint32_t>(state.range(0)), static_cast<std::uint32_t>(state.range(1)));
  cv::setNumThreads(static_cast<int>(state.range(2)));
  const cv::Mat hay(static_cast<int>(in.haystack.height), static_cast<int>(in.haystack.width), CV_8UC3,
                    const_cast<std::uint8_t*>(in.haystack.pixels.data()));
  const cv::Mat pat(static_cast<int>(in.pattern.height), static_cast<int>(in.pattern.width), CV_8UC3,
                    const_cast<std::uint8_t*>(in.pattern.pixels.data()));
  cv::Mat result;
  for (auto _ : state) {
    cv::matchTemplate(hay, pat, result, cv::TM_CCOEFF_NORMED);
    benchmark::DoNotOptimize(result.data);
  }
  cv::setNumThreads(-1);
}
// Third argument: OpenCV threads (1 = single core like ours; 0 = its default).
BENCHMARK(BM_OpenCvMatchTemplate)
    ->Args({800, 600, 1})
    ->Args({2880, 1800, 1})
    ->Args({800, 600, -1})
    ->Args({2880, 1800, -1})
    ->Unit(benchmark::kMillisecond);
#endif

// Collects the median (or the only) real time of each benchmark run so the
// ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || (run.run_type == Run::RT_Iteration && run.repetitions <= 1)) {
        times_[run.run_name.str()] = run.GetAdjustedRealTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    print_ratio("score_map 64x64 on 800x600", "BM_ScoreMap/800/600", "BM_OpenCvMatchTemplate/800/600/1", 0.75);
    print_ratio("match_pattern 64x64 on 2880x1800", "BM_MatchPattern/2880/1800",
                "BM_OpenCvMatchTemplate/2880/1800/1", 1.0 / 40.0);
    print_ratio("score_map 64x64 on 800x600 vs OpenCV default threads", "BM_ScoreMap/800/600",
                "BM_OpenCvMatchTemplate/800/600/-1", 0.0);
    print_ratio("match_pattern 64x64 on 2880x1800 vs OpenCV default threads", "BM_MatchPattern/2880/1800",
                "BM_OpenCvMatchTemplate/2880/1800/-1", 0.0);
  }

 private:
  void print_ratio(const char* what, const std::string& ours, const std::string& theirs, double target) {
    const auto a = times_.find(ours), b = times_.find(theirs);
    if (a == times_.end() || b == times_.end() || b->second <= 0) return;
    std::printf("%-62s ours %8.2f ms  OpenCV %8.2f ms  ratio %.3f", what, a->second, b->second, a->second / b->second);
    if (target > 0) std::printf("  (target <= %.3f)", target);
    std::printf("\n");
  }
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
