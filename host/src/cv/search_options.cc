#include "cv/search_options.h"

namespace pelagon2::cv {
namespace {

constexpr const char* kGreenPinkMessage =
    "green_pink_not_supported: pelagon2 dropped the green/pink anchor-box system; use the explicit "
    "anchor+offset relative search (or the legacy Pelagon for old macros)";

}  // namespace

bool option_is_true(const Json& options, const char* key) {
  const Json* member = find_member(options, key);
  return member != nullptr && member->is_boolean() && member->get<bool>();
}

Expected<SearchOptions> parse_search_options(const Json& params) {
  SearchOptions parsed;
  if (const Json* given = find_member(params, "options"); given != nullptr && given->is_object()) {
    parsed.options = *given;
  }
  const Json& options = parsed.options;
  if (option_is_true(options, "enableGreenPinkBoxes") || option_is_true(options, "requireGreenPinkBoxes")) {
    return make_error(kGreenPinkMessage);
  }
  if (const Json* it = find_member(options, "minSimilarity"); it != nullptr && it->is_number()) {
    // Each number kind goes to single precision directly (no detour through double).
    if (it->is_number_unsigned()) {
      parsed.min_similarity = static_cast<float>(it->get<std::uint64_t>());
    } else if (it->is_number_integer()) {
      parsed.min_similarity = static_cast<float>(it->get<std::int64_t>());
    } else {
      parsed.min_similarity = static_cast<float>(it->get<double>());
    }
  }
  parsed.allow_size_variation = option_is_true(options, "allowSizeVariation");
  return parsed;
}

}  // namespace pelagon2::cv
