#include "cv/search_pattern.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>

#include "vision_core/rounding.h"
#include "vision_core/total_order.h"

namespace pelagon2::cv {
namespace {

using vision_core::round_to;
using vision_core::saturate_to;
using vision_core::total_order_key;

__extension__ typedef __int128 Wide;

// A searchArea member as a signed 64-bit integer; anything but a number is 0.
std::int64_t area_member(const Json& area, const char* key) {
  const Json* it = find_member(area, key);
  if (it == nullptr) return 0;
  if (it->is_number_unsigned()) {
    const std::uint64_t value = it->get<std::uint64_t>();
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return value > kMax ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(value);
  }
  if (it->is_number_integer()) return it->get<std::int64_t>();
  if (it->is_number_float()) return round_to<std::int64_t>(it->get<double>());
  return 0;
}

std::uint32_t clamp_edge(Wide value, std::uint32_t limit) {
  return static_cast<std::uint32_t>(std::clamp<Wide>(value, 0, limit));
}

bool overlaps_too_much(const MatchRecord& a, const MatchRecord& b) {
  // 64-bit edges: x + width cannot wrap even for saturated sizes.
  const std::int64_t left = std::max<std::int64_t>(a.x, b.x);
  const std::int64_t top = std::max<std::int64_t>(a.y, b.y);
  const std::int64_t right = std::min<std::int64_t>(std::int64_t{a.x} + a.width, std::int64_t{b.x} + b.width);
  const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{a.y} + a.height, std::int64_t{b.y} + b.height);
  if (right <= left || bottom <= top) return false;
  const Wide inter = Wide{right - left} * Wide{bottom - top};
  const Wide uni = Wide{a.width} * a.height + Wide{b.width} * b.height - inter;
  return 4 * inter >= uni;
}

std::int32_t add_offset(std::int32_t value, std::uint32_t offset) {
  return saturate_to<std::int32_t>(std::int64_t{value} + offset);
}

bool suppressed_by(const std::vector<MatchRecord>& kept, const MatchRecord& candidate) {
  return std::any_of(kept.begin(), kept.end(),
                     [&](const MatchRecord& better) { return overlaps_too_much(better, candidate); });
}

// A candidate and its place in the list.
struct Ranked {
  MatchRecord match;
  std::uint64_t index = 0;
};

// The order of a stable sort by score, best first.
bool ranks_before(const Ranked& a, const Ranked& b) {
  const std::uint32_t ka = total_order_key(a.match.score);
  const std::uint32_t kb = total_order_key(b.match.score);
  return ka > kb || (ka == kb && a.index < b.index);
}

// Keeps the best `capacity` candidates ranked after `after` (all when there
// is none), as a heap with the worst kept one on top.
class BatchSink final : public vision_core::PeakSink {
 public:
  BatchSink(std::optional<Ranked> after, std::size_t capacity) : after_(after), capacity_(capacity) {}

  void add(const MatchRecord& match) override {
    const Ranked candidate{match, next_index_++};
    if (after_ && !ranks_before(*after_, candidate)) return;  // ranked in an earlier batch
    ++remaining_;
    if (heap_.size() < capacity_) {
      heap_.push_back(candidate);
      std::push_heap(heap_.begin(), heap_.end(), ranks_before);
    } else if (!heap_.empty() && ranks_before(candidate, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), ranks_before);
      heap_.back() = candidate;
      std::push_heap(heap_.begin(), heap_.end(), ranks_before);
    }
  }

  // Candidates ranked after `after`, including those not kept.
  std::uint64_t remaining() const { return remaining_; }

  // The kept candidates, best first.
  std::vector<Ranked> take_sorted() {
    std::sort_heap(heap_.begin(), heap_.end(), ranks_before);
    return std::move(heap_);
  }

 private:
  std::optional<Ranked> after_;
  std::size_t capacity_;
  std::uint64_t next_index_ = 0;
  std::uint64_t remaining_ = 0;
  std::vector<Ranked> heap_;
};

// Matches found in a haystack shrunk by `d`, moved back to full size.
class ScaledBackSink final : public vision_core::PeakSink {
 public:
  ScaledBackSink(vision_core::PeakSink& next, float d) : next_(next), d_(d) {}
  void add(const MatchRecord& found) override {
    MatchRecord m = found;
    m.x = round_to<std::int32_t>(static_cast<float>(m.x) * d_);
    m.y = round_to<std::int32_t>(static_cast<float>(m.y) * d_);
    m.width = round_to<std::uint32_t>(static_cast<float>(m.width) * d_);
    m.height = round_to<std::uint32_t>(static_cast<float>(m.height) * d_);
    m.scale = d_;
    next_.add(m);
  }

 private:
  vision_core::PeakSink& next_;
  float d_;
};

}  // namespace

Expected<screen::PixelWindow> resolve_search_area(const Json& options, std::uint32_t width, std::uint32_t height) {
  if (!option_is_true(options, "limitSearchArea")) return screen::PixelWindow{0, 0, width, height};
  const Json* found = find_member(options, "searchArea");
  if (found == nullptr) return make_error("bad_params: limitSearchArea set but no searchArea");
  std::int64_t x = 0, y = 0, w = 0, h = 0;
  if (found->is_object()) {
    x = area_member(*found, "x");
    y = area_member(*found, "y");
    w = area_member(*found, "width");
    h = area_member(*found, "height");
  }
  // The far edges use the unclipped origin, so an area starting left of the
  // image keeps its right edge.
  const screen::PixelWindow area{clamp_edge(x, width), clamp_edge(y, height), clamp_edge(Wide{x} + w, width),
                        clamp_edge(Wide{y} + h, height)};
  if (area.left < area.right && area.top < area.bottom) return area;
  return make_error("bad_params: searchArea " + std::to_string(w) + "x" + std::to_string(h) + " at (" +
                    std::to_string(x) + "," + std::to_string(y) + ") lies fully outside the " +
                    std::to_string(width) + "x" + std::to_string(height) + " image");
}

std::vector<float> search_scales(float base_scale, bool allow_size_variation) {
  if (!allow_size_variation) return {base_scale};
  return {base_scale, 0.9f * base_scale, 0.95f * base_scale, 1.05f * base_scale, 1.1f * base_scale};
}

std::vector<MatchRecord> rank_matches(std::vector<MatchRecord> matches, std::uint64_t max_results) {
  std::stable_sort(matches.begin(), matches.end(), [](const MatchRecord& a, const MatchRecord& b) {
    return total_order_key(a.score) > total_order_key(b.score);
  });
  std::vector<MatchRecord> kept;
  for (const MatchRecord& candidate : matches) {
    if (kept.size() >= max_results) break;
    if (!suppressed_by(kept, candidate)) kept.push_back(candidate);
  }
  return kept;
}

std::vector<MatchRecord> rank_in_batches(const std::function<void(vision_core::PeakSink&)>& produce,
                                         std::uint64_t max_results, std::size_t batch_size) {
  std::vector<MatchRecord> kept;
  std::optional<Ranked> after;
  while (kept.size() < max_results) {
    BatchSink batch(after, std::max<std::size_t>(batch_size, 1));
    produce(batch);
    const std::uint64_t remaining = batch.remaining();
    const std::vector<Ranked> best = batch.take_sorted();
    for (const Ranked& candidate : best) {
      if (kept.size() >= max_results) break;
      if (!suppressed_by(kept, candidate.match)) kept.push_back(candidate.match);
    }
    if (remaining <= best.size()) break;  // every candidate has been ranked
    after = best.back();
  }
  return kept;
}

Expected<std::vector<MatchRecord>> search_pattern(vision_core::RgbView haystack, vision_core::RgbView pattern,
                                                  const SearchOptions& options, double haystack_dpi,
                                                  double pattern_dpi, std::size_t batch_size) {
  float base_scale = options.scale;
  if (option_is_true(options.options, "enableHighDpi")) base_scale = static_cast<float>(haystack_dpi / pattern_dpi);

  Expected<screen::PixelWindow> area = resolve_search_area(options.options, haystack.width, haystack.height);
  if (!area) return std::move(area).take_error();
  // A view, not a copy: the matcher reads rows through the stride.
  const vision_core::RgbView image =
      haystack.crop(area->left, area->top, area->right - area->left, area->bottom - area->top);

  // Every scale's matches in list order (earlier scale first); produced again
  // for each batch of candidates instead of being held.
  const std::vector<float> scales = search_scales(base_scale, options.allow_size_variation);
  const auto produce = [&](vision_core::PeakSink& sink) {
    for (const float d : scales) {
      if (d >= 1.25f) {
        // Large scales shrink the haystack rather than enlarge the pattern.
        const std::uint32_t sw = std::max(1u, round_to<std::uint32_t>(static_cast<float>(image.width) / d));
        const std::uint32_t sh = std::max(1u, round_to<std::uint32_t>(static_cast<float>(image.height) / d));
        if (sw >= pattern.width && sh >= pattern.height) {
          const vision_core::RgbImage shrunk =
              vision_core::resample(image, sw, sh, vision_core::ResampleFilter::triangle);
          ScaledBackSink scaled_back(sink, d);
          vision_core::match_pattern(shrunk.view(), pattern, 1.0f, options.min_similarity, scaled_back);
          continue;
        }
      }
      vision_core::match_pattern(image, pattern, d, options.min_similarity, sink);
    }
  };

  std::vector<MatchRecord> kept = rank_in_batches(produce, options.max_results, batch_size);
  for (MatchRecord& m : kept) {
    m.x = add_offset(m.x, area->left);
    m.y = add_offset(m.y, area->top);
  }
  return kept;
}

std::vector<std::size_t> reading_order(const std::vector<MatchRecord>& matches) {
  std::vector<std::size_t> by_position(matches.size());
  std::iota(by_position.begin(), by_position.end(), std::size_t{0});
  std::stable_sort(by_position.begin(), by_position.end(), [&](std::size_t a, std::size_t b) {
    if (matches[a].y != matches[b].y) return matches[a].y < matches[b].y;
    return matches[a].x < matches[b].x;
  });
  std::vector<std::size_t> order(matches.size());
  for (std::size_t position = 0; position < by_position.size(); ++position) order[by_position[position]] = position;
  return order;
}

Json build_search_reply(const std::vector<MatchRecord>& matches, const std::optional<std::string>& capture_path) {
  const std::vector<std::size_t> order = reading_order(matches);
  Json regions = Json::array();
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const MatchRecord& m = matches[i];
    regions.push_back(Json{
        {"matchedRect", Json{{"x", m.x}, {"y", m.y}, {"width", m.width}, {"height", m.height}}},
        {"score", finite_or_null(static_cast<double>(m.score))},
        {"order", order[i]},
    });
  }
  Json reply = Json{{"errorCode", 0}, {"containsGreenPinkBoxes", false}, {"regions", std::move(regions)}};
  if (capture_path) reply["capturePath"] = *capture_path;
  return reply;
}

}  // namespace pelagon2::cv
