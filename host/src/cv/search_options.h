#pragma once
// The `options` object of a search request, read once per request.

#include <cstdint>

#include "core/json.h"
#include "core/outcome.h"

namespace pelagon2::cv {

struct SearchOptions {
  std::uint64_t max_results = 16;
  float min_similarity = 0.8f;
  float scale = 1.0f;
  bool allow_size_variation = false;
  // The request's `options` object (empty when it had none); the driver and the
  // methods read further keys from it, and screen searches rewrite `searchArea`.
  Json options = Json::object();
};

// True only for the JSON value true: strings and numbers do not count.
bool option_is_true(const Json& options, const char* key);

// Reads `params.options`; rejects the retired green/pink anchor-box options.
Expected<SearchOptions> parse_search_options(const Json& params);

}  // namespace pelagon2::cv
