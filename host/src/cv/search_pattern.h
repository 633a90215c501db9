#pragma once
// The search driver: one image search at one or five scales, ranked, thinned
// and reported.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/outcome.h"
#include "cv/search_options.h"
#include "screen/pixel_window.h"
#include "vision_core/image.h"
#include "vision_core/match.h"

namespace pelagon2::cv {

using vision_core::MatchRecord;

// The searched part of a width x height haystack that `options` selects: the
// whole image unless `limitSearchArea` is true, else `searchArea` clipped to it.
Expected<screen::PixelWindow> resolve_search_area(const Json& options, std::uint32_t width, std::uint32_t height);

// The scales searched, base scale first.
std::vector<float> search_scales(float base_scale, bool allow_size_variation);

// Best score first (stable), then greedy overlap suppression: a match is
// dropped when it overlaps a better kept one with intersection-over-union of at
// least 0.25; at most `max_results` are kept.
std::vector<MatchRecord> rank_matches(std::vector<MatchRecord> matches, std::uint64_t max_results);

// Candidates considered at a time by rank_in_batches.
inline constexpr std::size_t kRankBatch = std::size_t{1} << 16;

// rank_matches over candidates too many to hold: `produce` hands every
// candidate, in list order, to the sink it is given, the same ones in the same
// order on every call. Each call keeps only the `batch_size` best candidates
// not yet ranked, which are then thinned as rank_matches would; it is called
// again only when those did not fill `max_results` and more candidates remain.
// The greedy suppression only ever looks at better-ranked kept matches, so
// the result equals rank_matches of the whole list.
std::vector<MatchRecord> rank_in_batches(const std::function<void(vision_core::PeakSink&)>& produce,
                                         std::uint64_t max_results, std::size_t batch_size = kRankBatch);

// Matches of `pattern` in `haystack`, best first, in haystack pixels. Memory is
// bounded by the images and `batch_size`, however many placements qualify.
Expected<std::vector<MatchRecord>> search_pattern(vision_core::RgbView haystack, vision_core::RgbView pattern,
                                                  const SearchOptions& options, double haystack_dpi,
                                                  double pattern_dpi, std::size_t batch_size = kRankBatch);

// For each match, its position when the matches are put in reading order (top
// edge, then left edge; ties keep list order).
std::vector<std::size_t> reading_order(const std::vector<MatchRecord>& matches);

// {"capturePath"?, "containsGreenPinkBoxes", "errorCode", "regions"}.
Json build_search_reply(const std::vector<MatchRecord>& matches,
                        const std::optional<std::string>& capture_path = std::nullopt);

}  // namespace pelagon2::cv
