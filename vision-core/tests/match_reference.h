#pragma once
// Slow, plain reference implementations for the matcher tests: double
// summed-area tables, direct cross-product loops, per-pixel resampling.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "vision_core/image.h"
#include "vision_core/match.h"
#include "vision_core/rounding.h"

namespace vision_core::reference {

// 32-bit draws from a seeded Mersenne twister.
struct Rng {
  explicit Rng(std::uint32_t seed) : engine(seed) {}
  std::uint32_t operator()() { return static_cast<std::uint32_t>(engine()); }
  std::mt19937 engine;
};

// Score map straight from the definition: two double summed-area tables of
// (W+1) x (H+1) cells with three channels each, and a direct loop for the
// cross products.
inline ScoreMap score_map(RgbView hay, RgbView pat) {
  ScoreMap map;
  const std::uint32_t W = hay.width, H = hay.height, w = pat.width, h = pat.height;
  map.width = W - w + 1;
  map.height = H - h + 1;
  map.scores.assign(std::size_t{map.width} * map.height, 0.0f);
  const double n = static_cast<double>(w) * static_cast<double>(h);
  double st[3] = {0, 0, 0}, qt[3] = {0, 0, 0};
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        const double v = pat.row(y)[3 * x + c];
        st[c] += v;
        qt[c] += v * v;
      }
  const double et = std::max(qt[0] - st[0] * st[0] / n, 0.0) + std::max(qt[1] - st[1] * st[1] / n, 0.0) +
                    std::max(qt[2] - st[2] * st[2] / n, 0.0);
  const double norm_t = std::sqrt(et);
  if (norm_t < 1e-6) return map;

  const std::size_t tw = std::size_t{W} + 1;
  std::vector<double> sum(tw * (H + 1) * 3, 0.0), sq(tw * (H + 1) * 3, 0.0);
  auto at = [&](std::vector<double>& t, std::size_t x, std::size_t y, int c) -> double& {
    return t[(y * tw + x) * 3 + static_cast<std::size_t>(c)];
  };
  for (std::uint32_t y = 1; y <= H; ++y)
    for (std::uint32_t x = 1; x <= W; ++x)
      for (int c = 0; c < 3; ++c) {
        const double v = hay.row(y - 1)[3 * (x - 1) + static_cast<std::uint32_t>(c)];
        at(sum, x, y, c) = v + at(sum, x - 1, y, c) + at(sum, x, y - 1, c) - at(sum, x - 1, y - 1, c);
        at(sq, x, y, c) = v * v + at(sq, x - 1, y, c) + at(sq, x, y - 1, c) - at(sq, x - 1, y - 1, c);
      }
  for (std::uint32_t y = 0; y < map.height; ++y)
    for (std::uint32_t x = 0; x < map.width; ++x) {
      double sw[3], qw[3];
      for (int c = 0; c < 3; ++c) {
        sw[c] = at(sum, x + w, y + h, c) - at(sum, x, y + h, c) - at(sum, x + w, y, c) + at(sum, x, y, c);
        qw[c] = at(sq, x + w, y + h, c) - at(sq, x, y + h, c) - at(sq, x + w, y, c) + at(sq, x, y, c);
      }
      const double ew = std::max(qw[0] - sw[0] * sw[0] / n, 0.0) + std::max(qw[1] - sw[1] * sw[1] / n, 0.0) +
                        std::max(qw[2] - sw[2] * sw[2] / n, 0.0);
      if (ew < 1e-12) continue;
      double p[3] = {0, 0, 0};
      for (std::uint32_t v = 0; v < h; ++v)
        for (std::uint32_t u = 0; u < w; ++u)
          for (int c = 0; c < 3; ++c)
            p[c] += static_cast<double>(pat.row(v)[3 * u + static_cast<std::uint32_t>(c)]) *
                    static_cast<double>(hay.row(y + v)[3 * (x + u) + static_cast<std::uint32_t>(c)]);
      const double num = (p[0] - (st[0] / n) * sw[0]) + (p[1] - (st[1] / n) * sw[1]) + (p[2] - (st[2] / n) * sw[2]);
      const double score = num / (std::sqrt(ew) * norm_t);
      map.scores[std::size_t{y} * map.width + x] = static_cast<float>(std::clamp(score, -1.0, 1.0));
    }
  return map;
}

inline float kernel(float x, ResampleFilter filter) {
  if (filter == ResampleFilter::triangle) return std::max(0.0f, 1.0f - std::fabs(x));
  if (std::fabs(x) >= 3.0f) return 0.0f;
  auto sinc = [](float t) {
    if (t == 0.0f) return 1.0f;
    const float a = std::numbers::pi_v<float> * t;
    return std::sin(a) / a;
  };
  return sinc(x) * sinc(x / 3.0f);
}

// Normalised weights of one target index: (first source index, weights).
inline std::pair<std::int64_t, std::vector<float>> weights(std::uint32_t src, std::uint32_t dst, std::uint32_t i,
                                                           ResampleFilter filter) {
  const float support = filter == ResampleFilter::triangle ? 1.0f : 3.0f;
  const float r = static_cast<float>(src) / static_cast<float>(dst);
  const float sigma = std::max(1.0f, r);
  const float c = (static_cast<float>(i) + 0.5f) * r;
  std::int64_t lo = static_cast<std::int64_t>(std::floor(c - support * sigma));
  lo = std::clamp<std::int64_t>(lo, 0, std::int64_t{src} - 1);
  std::int64_t hi = std::min<std::int64_t>(src, static_cast<std::int64_t>(std::ceil(c + support * sigma)));
  hi = std::max(hi, lo + 1);
  std::vector<float> w;
  float total = 0.0f;
  for (std::int64_t k = lo; k < hi; ++k) {
    w.push_back(kernel((static_cast<float>(k) - c + 0.5f) / sigma, filter));
    total += w.back();
  }
  for (float& x : w) x /= total;
  return {lo, w};
}

inline RgbImage resample(RgbView img, std::uint32_t width, std::uint32_t height, ResampleFilter filter) {
  RgbImage out(width, height);
  if (width == img.width && height == img.height) {
    for (std::uint32_t y = 0; y < height; ++y)
      std::copy(img.row(y), img.row(y) + 3 * std::size_t{width}, out.pixels.begin() + 3 * std::ptrdiff_t{y} * width);
    return out;
  }
  // Vertical pass, kept in single precision.
  std::vector<float> mid(std::size_t{img.width} * height * 3);
  for (std::uint32_t y = 0; y < height; ++y) {
    const auto [lo, w] = weights(img.height, height, y, filter);
    for (std::size_t i = 0; i < std::size_t{img.width} * 3; ++i) {
      float acc = 0.0f;
      for (std::size_t k = 0; k < w.size(); ++k)
        acc += w[k] * static_cast<float>(img.row(static_cast<std::uint32_t>(lo + static_cast<std::int64_t>(k)))[i]);
      mid[std::size_t{y} * img.width * 3 + i] = acc;
    }
  }
  for (std::uint32_t x = 0; x < width; ++x) {
    const auto [lo, w] = weights(img.width, width, x, filter);
    for (std::uint32_t y = 0; y < height; ++y)
      for (std::size_t c = 0; c < 3; ++c) {
        float acc = 0.0f;
        for (std::size_t k = 0; k < w.size(); ++k)
          acc += w[k] * mid[(std::size_t{y} * img.width + static_cast<std::size_t>(lo) + k) * 3 + c];
        out.pixels[(std::size_t{y} * width + x) * 3 + c] = round_to<std::uint8_t>(std::clamp(acc, 0.0f, 255.0f));
      }
  }
  return out;
}

// The per-scale search, composed step by step from the reference pieces.
inline std::vector<MatchRecord> match_pattern(RgbView hay, RgbView pat, float scale, float threshold) {
  RgbImage scaled;
  RgbView t = pat;
  if (!(std::fabs(scale - 1.0f) < 0.001f)) {
    const auto w = std::max<std::uint32_t>(1, round_to<std::uint32_t>(static_cast<float>(pat.width) * scale));
    const auto h = std::max<std::uint32_t>(1, round_to<std::uint32_t>(static_cast<float>(pat.height) * scale));
    if (w > hay.width || h > hay.height) return {};
    scaled = reference::resample(pat, w, h, scale > 1.0f ? ResampleFilter::lanczos3 : ResampleFilter::triangle);
    t = scaled.view();
  }
  const std::uint32_t W = hay.width, H = hay.height, w = t.width, h = t.height;
  if (w > W || h > H) return {};
  if (w < 16 || h < 16 || std::max(W, H) < 800) return find_peaks(reference::score_map(hay, t), w, h, 0, 0, threshold, scale);
  const RgbImage ch = reference::resample(hay, std::max(1u, W / 4), std::max(1u, H / 4), ResampleFilter::triangle);
  const RgbImage cp = reference::resample(t, w / 4, h / 4, ResampleFilter::triangle);
  auto coarse = find_peaks(reference::score_map(ch.view(), cp.view()), cp.width, cp.height, 0, 0,
                           std::max(threshold - 0.15f, 0.3f), scale);
  std::stable_sort(coarse.begin(), coarse.end(),
                   [](const MatchRecord& a, const MatchRecord& b) { return a.score > b.score; });
  if (coarse.size() > 48) coarse.resize(48);
  std::vector<MatchRecord> out;
  for (const auto& c : coarse) {
    const std::int64_t l = std::max<std::int64_t>(0, 4 * std::int64_t{c.x} - 8);
    const std::int64_t r = std::min<std::int64_t>(W, 4 * std::int64_t{c.x} + w + 8);
    const std::int64_t tp = std::max<std::int64_t>(0, 4 * std::int64_t{c.y} - 8);
    const std::int64_t b = std::min<std::int64_t>(H, 4 * std::int64_t{c.y} + h + 8);
    if (r <= l + w || b <= tp + h) continue;
    // A packed copy of the window, as the definition says.
    RgbImage window(static_cast<std::uint32_t>(r - l), static_cast<std::uint32_t>(b - tp));
    for (std::uint32_t y = 0; y < window.height; ++y)
      std::copy(hay.row(static_cast<std::uint32_t>(tp) + y) + 3 * l, hay.row(static_cast<std::uint32_t>(tp) + y) + 3 * r,
                window.pixels.begin() + 3 * std::ptrdiff_t{y} * window.width);
    auto found = find_peaks(reference::score_map(window.view(), t), w, h, static_cast<std::int32_t>(l),
                            static_cast<std::int32_t>(tp), threshold, scale);
    out.insert(out.end(), found.begin(), found.end());
  }
  return out;
}

// Screenshot-like texture: flat panels, gradients, noise and small glyph-like
// strokes, so maps contain flat, near-flat and textured windows.
inline RgbImage textured_image(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  Rng rng(seed);
  RgbImage img(width, height);
  auto fill = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h, auto&& colour) {
    for (std::uint32_t y = y0; y < std::min(height, y0 + h); ++y)
      for (std::uint32_t x = x0; x < std::min(width, x0 + w); ++x) {
        const auto rgb = colour(x, y);
        for (int c = 0; c < 3; ++c) img.pixels[(std::size_t{y} * width + x) * 3 + static_cast<std::size_t>(c)] = rgb[c];
      }
  };
  fill(0, 0, width, height, [&](std::uint32_t, std::uint32_t) { return std::array<std::uint8_t, 3>{235, 236, 240}; });
  const std::uint32_t panels = 4 + width * height / 4000;
  for (std::uint32_t i = 0; i < panels; ++i) {
    const std::uint32_t x0 = rng() % width, y0 = rng() % height;
    const std::uint32_t w = 1 + rng() % std::max(1u, width / 3), h = 1 + rng() % std::max(1u, height / 3);
    const std::uint8_t r = static_cast<std::uint8_t>(rng()), g = static_cast<std::uint8_t>(rng()),
                       b = static_cast<std::uint8_t>(rng());
    switch (rng() % 4) {
      case 0:  // flat panel
        fill(x0, y0, w, h, [&](std::uint32_t, std::uint32_t) { return std::array<std::uint8_t, 3>{r, g, b}; });
        break;
      case 1:  // gradient
        fill(x0, y0, w, h, [&](std::uint32_t x, std::uint32_t y) {
          return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(r + x), static_cast<std::uint8_t>(g + y), b};
        });
        break;
      case 2:  // noise
        fill(x0, y0, w, h, [&](std::uint32_t, std::uint32_t) {
          return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                                             static_cast<std::uint8_t>(rng())};
        });
        break;
      default:  // near-flat: one colour with rare one-step deviations
        fill(x0, y0, w, h, [&](std::uint32_t, std::uint32_t) {
          const std::uint8_t d = rng() % 17 == 0 ? 1 : 0;
          return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(r | d), g, b};
        });
    }
  }
  // Glyph-like strokes.
  for (std::uint32_t i = 0; i < panels * 3; ++i) {
    const std::uint32_t x0 = rng() % width, y0 = rng() % height;
    const bool horizontal = rng() % 2 == 0;
    fill(x0, y0, horizontal ? 2 + rng() % 12 : 1 + rng() % 2, horizontal ? 1 + rng() % 2 : 2 + rng() % 12,
         [&](std::uint32_t, std::uint32_t) { return std::array<std::uint8_t, 3>{20, 20, 30}; });
  }
  return img;
}

inline RgbImage crop_copy(RgbView v, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h) {
  RgbImage out(w, h);
  for (std::uint32_t r = 0; r < h; ++r)
    std::copy(v.row(y + r) + 3 * std::size_t{x}, v.row(y + r) + 3 * (std::size_t{x} + w),
              out.pixels.begin() + 3 * std::ptrdiff_t{r} * w);
  return out;
}

}  // namespace vision_core::reference
