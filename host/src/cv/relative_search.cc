#include "cv/relative_search.h"

#include <cmath>
#include <string>

#include "cv/search_pattern.h"

namespace pelagon2::cv {

Expected<OffsetRect> parse_offset(const Json& params) {
  const Json* found = find_member(params, "offset");
  if (found == nullptr) return make_error("bad_params: missing 'offset'");
  const Json& offset = *found;
  OffsetRect rect;
  const std::pair<const char*, double*> members[] = {
      {"x", &rect.x}, {"y", &rect.y}, {"width", &rect.width}, {"height", &rect.height}};
  for (const auto& [key, target] : members) {
    const Json* member = find_member(offset, key);
    if (member == nullptr || !member->is_number()) {
      return make_error(std::string("bad_params: missing numeric 'offset.") + key + "'");
    }
    *target = member->get<double>();
  }
  if (rect.width <= 0 || rect.height <= 0) return make_error("bad_params: offset.width/height must be positive");
  return rect;
}

Json build_relative_regions(const std::vector<vision_core::MatchRecord>& anchors, const OffsetRect& offset) {
  const std::vector<std::size_t> order = reading_order(anchors);
  Json regions = Json::array();
  for (std::size_t i = 0; i < anchors.size(); ++i) {
    const vision_core::MatchRecord& m = anchors[i];
    const double s = static_cast<double>(m.scale);
    regions.push_back(Json{
        {"anchorRect", Json{{"x", m.x}, {"y", m.y}, {"width", m.width}, {"height", m.height}}},
        {"matchedRect", Json{{"x", finite_or_null(std::round(m.x + offset.x * s))},
                             {"y", finite_or_null(std::round(m.y + offset.y * s))},
                             {"width", finite_or_null(std::round(offset.width * s))},
                             {"height", finite_or_null(std::round(offset.height * s))}}},
        {"score", finite_or_null(static_cast<double>(m.score))},
        {"order", order[i]},
    });
  }
  return regions;
}

Json build_relative_reply(const std::vector<vision_core::MatchRecord>& anchors, const OffsetRect& offset) {
  return Json{{"errorCode", 0}, {"containsGreenPinkBoxes", false}, {"regions", build_relative_regions(anchors, offset)}};
}

}  // namespace pelagon2::cv
