#pragma once
// Relative (anchor) search: regions at a fixed offset from every anchor match,
// scaled by the scale the anchor matched at.

#include <vector>

#include "core/json.h"
#include "core/outcome.h"
#include "vision_core/match.h"

namespace pelagon2::cv {

// In pattern pixels at scale 1, relative to the anchor's top-left corner.
struct OffsetRect {
  double x = 0.0;
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
};

// Reads and checks `params.offset`; runs before anything else of the request.
Expected<OffsetRect> parse_offset(const Json& params);

// One region per anchor, best score first: anchorRect, matchedRect (floats),
// score and reading-order position.
Json build_relative_regions(const std::vector<vision_core::MatchRecord>& anchors, const OffsetRect& offset);

// {"containsGreenPinkBoxes": false, "errorCode": 0, "regions": ...}.
Json build_relative_reply(const std::vector<vision_core::MatchRecord>& anchors, const OffsetRect& offset);

}  // namespace pelagon2::cv
