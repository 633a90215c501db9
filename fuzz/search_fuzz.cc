// search_fuzz: the search driver on small random images with random options.
//
// Input layout: haystack width, height, pattern width, height (one byte each,
// kept small), haystack and pattern DPI selectors, then the pixels (the rest of
// the input repeated as needed), and after a 0xFF byte the options as JSON text.
// Invariants: no crash; at most 16 matches; every match starts inside the
// searched area; scores within [-1, 1]; failures carry a known code word.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/json.h"
#include "cv/relative_search.h"
#include "cv/search_options.h"
#include "cv/search_pattern.h"

namespace {

using pelagon2::Json;

void check(bool condition) {
  if (!condition) std::abort();
}

bool starts_with(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

constexpr double kDpis[] = {96.0, 192.0, 144.0, 72.0, 0.0, 1e-300, 1e300, 48.0};

vision_core::RgbImage fill(std::uint32_t width, std::uint32_t height, const std::uint8_t* bytes, std::size_t size,
                           std::size_t salt) {
  vision_core::RgbImage image(width, height);
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = size == 0 ? static_cast<std::uint8_t>(i * 37 + salt) : bytes[(i + salt) % size];
  }
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  const std::uint32_t hw = 1 + data[0] % 64, hh = 1 + data[1] % 64;
  const std::uint32_t pw = 1 + data[2] % 20, ph = 1 + data[3] % 20;
  const double haystack_dpi = kDpis[data[4] % 8], pattern_dpi = kDpis[(data[4] >> 3) % 8];
  const bool cut_pattern = (data[5] & 1) != 0;
  const std::uint8_t* rest = data + 6;
  const std::size_t rest_size = size - 6;
  const auto* split = static_cast<const std::uint8_t*>(std::memchr(rest, 0xFF, rest_size));
  const std::size_t pixel_bytes = split != nullptr ? static_cast<std::size_t>(split - rest) : rest_size;
  const std::string_view options_text =
      split != nullptr ? std::string_view(reinterpret_cast<const char*>(split + 1), rest_size - pixel_bytes - 1)
                       : std::string_view("{}");

  const Json options = Json::parse(options_text, nullptr, false);
  if (options.is_discarded()) return 0;
  const Json params{{"options", options}};

  const vision_core::RgbImage haystack = fill(hw, hh, rest, pixel_bytes, 0);
  vision_core::RgbImage pattern = fill(pw, ph, rest, pixel_bytes, 11);
  if (cut_pattern) {
    // Half the time the pattern is cut from the haystack, so matches exist.
    if (pw <= hw && ph <= hh) {
      for (std::uint32_t y = 0; y < ph; ++y) {
        std::memcpy(&pattern.pixels[std::size_t{y} * pw * 3], haystack.view().row(y), std::size_t{pw} * 3);
      }
    }
  }

  pelagon2::Expected<pelagon2::cv::SearchOptions> parsed = pelagon2::cv::parse_search_options(params);
  if (!parsed) {
    check(starts_with(parsed.error(), "green_pink_not_supported: "));
    return 0;
  }
  auto found = pelagon2::cv::search_pattern(haystack.view(), pattern.view(), *parsed, haystack_dpi, pattern_dpi);
  if (!found) {
    check(starts_with(found.error(), "bad_params: "));
    return 0;
  }
  auto area = pelagon2::cv::resolve_search_area(parsed->options, hw, hh);
  check(area.ok());
  check(found->size() <= 16);
  for (const vision_core::MatchRecord& m : *found) {
    check(m.x >= static_cast<std::int64_t>(area->left) && m.x < static_cast<std::int64_t>(area->right));
    check(m.y >= static_cast<std::int64_t>(area->top) && m.y < static_cast<std::int64_t>(area->bottom));
    check(m.score >= -1.0f && m.score <= 1.0f);
  }
  const Json reply = pelagon2::cv::build_search_reply(*found);
  check(reply["regions"].size() == found->size());
  const Json regions = pelagon2::cv::build_relative_regions(*found, pelagon2::cv::OffsetRect{-3.5, 2.5, 7, 0.5});
  check(regions.size() == found->size());
  (void)pelagon2::to_json_text(reply);
  (void)pelagon2::to_json_text(regions);
  return 0;
}
