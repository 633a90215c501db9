#pragma once
// Pieces of resample shared with the vectorised kernels.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vision_core/image.h"
#include "vision_core/match.h"

namespace vision_core {

// Per target index: the first contributing source index, how many follow, and
// where their normalised weights start in `weights`.
struct ResampleWeights {
  std::vector<std::uint32_t> first;
  std::vector<std::uint32_t> count;
  std::vector<std::size_t> offset;
  std::vector<float> weights;
};

ResampleWeights resample_weights(std::uint32_t source_length, std::uint32_t target_length, ResampleFilter filter);

}  // namespace vision_core
