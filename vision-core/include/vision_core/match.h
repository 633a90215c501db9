#pragma once
// Template matching by zero-mean normalised cross-correlation over R, G and B
// together, and the resampling it needs.

#include <cstdint>
#include <vector>

#include "vision_core/image.h"

namespace vision_core {

struct MatchRecord {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  float score = 0.0f;
  float scale = 1.0f;
};

// (W - w + 1) x (H - h + 1) scores, row-major.
struct ScoreMap {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<float> scores;

  float at(std::uint32_t x, std::uint32_t y) const { return scores[std::size_t{y} * width + x]; }
};

// The score of `pattern` at every placement in `haystack`. Requires the pattern
// to fit (the caller checks).
ScoreMap score_map(RgbView haystack, RgbView pattern);

// Local maxima (no strictly greater neighbour among the up to eight around it)
// scoring at least `threshold`, in row-major order.
std::vector<MatchRecord> find_peaks(const ScoreMap& map, std::uint32_t pattern_width, std::uint32_t pattern_height,
                                    std::int32_t offset_x, std::int32_t offset_y, float threshold, float scale);

// Receives peaks one at a time, in the order match_pattern lists them.
class PeakSink {
 public:
  virtual void add(const MatchRecord& peak) = 0;

 protected:
  ~PeakSink() = default;
};

// All peaks of `pattern` rescaled by `scale` in `haystack`: a direct search on
// small inputs, coarse-to-fine on large ones. Never fails.
std::vector<MatchRecord> match_pattern(RgbView haystack, RgbView pattern, float scale, float threshold);

// The same peaks in the same order, handed to `sink` as they are found; the
// memory used is bounded by the images, not by the number of peaks (a flat
// haystack with a threshold of 0 or less makes every placement a peak).
void match_pattern(RgbView haystack, RgbView pattern, float scale, float threshold, PeakSink& sink);

enum class ResampleFilter { triangle, lanczos3 };

// Separable resize, vertical pass first; the same size gives an exact copy.
RgbImage resample(RgbView image, std::uint32_t width, std::uint32_t height, ResampleFilter filter);

}  // namespace vision_core
