// Zero-mean normalised cross-correlation over R, G and B together, peak
// picking, and the direct / coarse-to-fine choice of match_pattern.

#include "vision_core/match.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "match_internal.h"
#include "vision_core/rounding.h"
#include "vision_core/total_order.h"

namespace vision_core {
namespace {

class CollectingSink final : public PeakSink {
 public:
  void add(const MatchRecord& peak) override { peaks.push_back(peak); }
  std::vector<MatchRecord> peaks;
};

// The best `capacity` peaks by score (total order), ties in arrival order,
// without holding the others: the same as a stable sort of all of them cut
// to `capacity`.
class BestPeaksSink final : public PeakSink {
 public:
  explicit BestPeaksSink(std::size_t capacity) : capacity_(capacity) { best_.reserve(capacity + 1); }
  void add(const MatchRecord& peak) override {
    const std::uint32_t key = total_order_key(peak.score);
    // After every kept peak of the same or a higher score: a later arrival
    // loses ties.
    const auto at = std::upper_bound(best_.begin(), best_.end(), key,
                                     [](std::uint32_t k, const MatchRecord& kept) { return k > total_order_key(kept.score); });
    if (at == best_.end() && best_.size() >= capacity_) return;
    best_.insert(at, peak);
    if (best_.size() > capacity_) best_.pop_back();
  }
  std::vector<MatchRecord> take() { return std::move(best_); }

 private:
  std::size_t capacity_;
  std::vector<MatchRecord> best_;  // best first
};

}  // namespace

PatternStats pattern_stats(RgbView pattern) {
  std::uint64_t sum[3] = {0, 0, 0};
  std::uint64_t squares[3] = {0, 0, 0};
  for (std::uint32_t y = 0; y < pattern.height; ++y) {
    const std::uint8_t* row = pattern.row(y);
    for (std::uint32_t x = 0; x < pattern.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        const std::uint64_t v = row[3 * x + c];
        sum[c] += v;
        squares[c] += v * v;
      }
    }
  }
  PatternStats stats;
  stats.n = static_cast<double>(std::uint64_t{pattern.width} * pattern.height);
  double energy = 0.0;
  for (int c = 0; c < 3; ++c) {
    stats.sum[c] = static_cast<double>(sum[c]);
    const double sq = static_cast<double>(squares[c]);
    energy += std::max(sq - stats.sum[c] * stats.sum[c] / stats.n, 0.0);
    stats.mean[c] = stats.sum[c] / stats.n;
  }
  stats.norm = std::sqrt(energy);
  return stats;
}

ScoreMap score_map(RgbView haystack, RgbView pattern) {
  ScoreMap map;
  if (pattern.width == 0 || pattern.height == 0 || pattern.width > haystack.width ||
      pattern.height > haystack.height) {
    return map;
  }
  map.width = haystack.width - pattern.width + 1;
  map.height = haystack.height - pattern.height + 1;
  map.scores.assign(std::size_t{map.width} * map.height, 0.0f);

  PatternTables tables(pattern);
  // A pattern of one flat colour correlates with nothing.
  if (tables.stats().norm < 1e-6) return map;

  ScoreMapper mapper(haystack, tables);
  for (std::uint32_t y = 0; y < map.height;) {
    y += mapper.score_rows(y, map.height - y, map.scores.data() + std::size_t{y} * map.width);
  }
  return map;
}

namespace {

// Appends the peaks of one map row, given its neighbours (null at the edges).
void row_peaks(const float* above, const float* row, const float* below, std::uint32_t width, std::uint32_t y,
               const PeakSpec& spec, PeakSink& peaks) {
  for (std::uint32_t x = 0; x < width; ++x) {
    const float s = row[x];
    if (!(s >= spec.threshold)) continue;
    const std::uint32_t x0 = x > 0 ? x - 1 : 0;
    const std::uint32_t x1 = x + 1 < width ? x + 1 : x;
    bool peak = true;
    for (std::uint32_t i = x0; i <= x1 && peak; ++i) {
      if ((above && above[i] > s) || row[i] > s || (below && below[i] > s)) peak = false;
    }
    if (!peak) continue;
    MatchRecord m;
    m.x = static_cast<std::int32_t>(static_cast<std::int64_t>(x) + spec.offset_x);
    m.y = static_cast<std::int32_t>(static_cast<std::int64_t>(y) + spec.offset_y);
    m.width = spec.width;
    m.height = spec.height;
    m.score = s;
    m.scale = spec.scale;
    peaks.add(m);
  }
}

}  // namespace

std::vector<MatchRecord> find_peaks(const ScoreMap& map, std::uint32_t pattern_width, std::uint32_t pattern_height,
                                    std::int32_t offset_x, std::int32_t offset_y, float threshold, float scale) {
  CollectingSink peaks;
  const std::uint32_t w = map.width;
  const std::uint32_t h = map.height;
  if (w == 0 || h == 0 || map.scores.size() < std::size_t{w} * h) return {};
  const PeakSpec spec{pattern_width, pattern_height, offset_x, offset_y, threshold, scale};
  for (std::uint32_t y = 0; y < h; ++y) {
    const float* row = map.scores.data() + std::size_t{y} * w;
    row_peaks(y > 0 ? row - w : nullptr, row, y + 1 < h ? row + w : nullptr, w, y, spec, peaks);
  }
  return std::move(peaks.peaks);
}

void map_peaks(RgbView haystack, PatternTables& tables, const PeakSpec& spec, PeakSink& peaks) {
  const RgbView pattern = tables.pattern();
  if (pattern.width == 0 || pattern.height == 0 || pattern.width > haystack.width ||
      pattern.height > haystack.height) {
    return;
  }
  const std::uint32_t w = haystack.width - pattern.width + 1;
  const std::uint32_t h = haystack.height - pattern.height + 1;
  const PatternStats& stats = tables.stats();
  // Rows y - 1 .. y + kMaxBlockRows of the map live in a ring of row buffers;
  // row y is judged once row y + 1 exists.
  constexpr std::uint32_t kSlots = kMaxBlockRows + 2;
  std::vector<float> ring(std::size_t{kSlots} * w, 0.0f);
  auto slot = [&](std::uint32_t y) { return ring.data() + std::size_t{y % kSlots} * w; };
  const bool flat = stats.norm < 1e-6;  // a flat pattern's map is all zeros
  if (flat && !(0.0f >= spec.threshold)) return;
  std::optional<ScoreMapper> mapper;
  if (!flat) mapper.emplace(haystack, tables);
  std::vector<float> block;
  std::uint32_t done = 0;  // rows computed
  for (std::uint32_t y = 0; y < h; ++y) {
    while (done < std::min(h, y + 2)) {
      if (flat) {
        std::fill(slot(done), slot(done) + w, 0.0f);
        ++done;
        continue;
      }
      // The mapper writes its block row-major; copy it into the ring.
      const std::uint32_t limit = std::min(h - done, kMaxBlockRows);
      block.resize(std::size_t{limit} * w);
      const std::uint32_t got = mapper->score_rows(done, limit, block.data());
      for (std::uint32_t i = 0; i < got; ++i)
        std::copy_n(block.data() + std::size_t{i} * w, w, slot(done + i));
      done += got;
    }
    row_peaks(y > 0 ? slot(y - 1) : nullptr, slot(y), y + 1 < h ? slot(y + 1) : nullptr, w, y, spec, peaks);
  }
}

std::vector<MatchRecord> match_pattern(RgbView haystack, RgbView pattern, float scale, float threshold) {
  CollectingSink peaks;
  match_pattern(haystack, pattern, scale, threshold, peaks);
  return std::move(peaks.peaks);
}

void match_pattern(RgbView haystack, RgbView pattern, float scale, float threshold, PeakSink& sink) {
  if (pattern.width == 0 || pattern.height == 0 || haystack.width == 0 || haystack.height == 0) return;

  // 1. The pattern at the requested scale. The size is checked before any
  // resampling so that an absurd scale cannot ask for a gigantic image.
  RgbImage scaled;
  RgbView t = pattern;
  if (!(std::fabs(scale - 1.0f) < 0.001f)) {
    const std::uint32_t w = std::max<std::uint32_t>(1, round_to<std::uint32_t>(static_cast<float>(pattern.width) * scale));
    const std::uint32_t h =
        std::max<std::uint32_t>(1, round_to<std::uint32_t>(static_cast<float>(pattern.height) * scale));
    if (w > haystack.width || h > haystack.height) return;
    scaled = resample(pattern, w, h, scale > 1.0f ? ResampleFilter::lanczos3 : ResampleFilter::triangle);
    t = scaled.view();
  }
  const std::uint32_t W = haystack.width;
  const std::uint32_t H = haystack.height;
  const std::uint32_t w = t.width;
  const std::uint32_t h = t.height;
  // 2. Too large for the haystack.
  if (w > W || h > H) return;

  // 3. Direct search.
  if (w < 16 || h < 16 || std::max(W, H) < 800) {
    PatternTables tables(t);
    map_peaks(haystack, tables, PeakSpec{w, h, 0, 0, threshold, scale}, sink);
    return;
  }

  // 4. Coarse-to-fine: locate candidates at a quarter of the resolution, then
  // refine each in a small full-resolution window around it.
  const RgbImage coarse_haystack =
      resample(haystack, std::max<std::uint32_t>(1, W / 4), std::max<std::uint32_t>(1, H / 4), ResampleFilter::triangle);
  const RgbImage coarse_pattern = resample(t, w / 4, h / 4, ResampleFilter::triangle);
  const float coarse_threshold = std::max(threshold - 0.15f, 0.3f);
  PatternTables coarse_tables(coarse_pattern.view());
  // Only the best coarse peaks are kept while the coarse map is scanned.
  BestPeaksSink best(kMaxCoarseCandidates);
  map_peaks(coarse_haystack.view(), coarse_tables,
            PeakSpec{coarse_pattern.width, coarse_pattern.height, 0, 0, coarse_threshold, scale}, best);
  const std::vector<MatchRecord> candidates = best.take();

  PatternTables tables(t);  // shared by all refinement windows
  for (const MatchRecord& candidate : candidates) {
    const std::int64_t cx = candidate.x;
    const std::int64_t cy = candidate.y;
    const std::int64_t left = std::max<std::int64_t>(0, 4 * cx - 8);
    const std::int64_t right = std::min<std::int64_t>(W, 4 * cx + w + 8);
    const std::int64_t top = std::max<std::int64_t>(0, 4 * cy - 8);
    const std::int64_t bottom = std::min<std::int64_t>(H, 4 * cy + h + 8);
    // The window must leave room for more than one placement each way.
    if (!(right > left + w && bottom > top + h)) continue;
    const RgbView window =
        haystack.crop(static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
                      static_cast<std::uint32_t>(right - left), static_cast<std::uint32_t>(bottom - top));
    map_peaks(window, tables,
              PeakSpec{w, h, static_cast<std::int32_t>(left), static_cast<std::int32_t>(top), threshold, scale},
              sink);
  }
}

}  // namespace vision_core
