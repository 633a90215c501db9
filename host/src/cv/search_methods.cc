#include "cv/search_methods.h"

#include <string>
#include <utility>

#include "cv/desktop_search.h"
#include "cv/relative_search.h"
#include "cv/search_options.h"
#include "cv/search_pattern.h"
#include "screen/capture.h"

namespace pelagon2::cv {

Expected<DecodedImage> required_image_param(const Json& params, std::string_view key) {
  if (!params.is_object()) return make_error("bad_params: missing '" + std::string(key) + "'");
  const auto it = params.find(key);
  if (it == params.end()) return make_error("bad_params: missing '" + std::string(key) + "'");
  return decode_image_param(*it, key);
}

Outcome search_image(const Json& params) {
  Expected<SearchOptions> options = parse_search_options(params);
  if (!options) return std::move(options).take_error();
  Expected<DecodedImage> image = required_image_param(params, "image");
  if (!image) return std::move(image).take_error();
  Expected<DecodedImage> pattern = required_image_param(params, "pattern");
  if (!pattern) return std::move(pattern).take_error();

  Expected<std::vector<MatchRecord>> matches =
      search_pattern(image->image.view(), pattern->image.view(), *options, image->dpi, pattern->dpi);
  if (!matches) return std::move(matches).take_error();
  return build_search_reply(*matches);
}

Outcome search_relative(const Json& params, platform::Platform& platform) {
  Expected<OffsetRect> offset = parse_offset(params);
  if (!offset) return std::move(offset).take_error();
  Expected<SearchOptions> options = parse_search_options(params);
  if (!options) return std::move(options).take_error();
  Expected<DecodedImage> pattern = required_image_param(params, "pattern");
  if (!pattern) return std::move(pattern).take_error();

  // A present `image`, even null, means the supplied image; only absence means
  // the screen. On the screen the searchArea stays in capture pixels.
  if (!params.contains("image")) {
    Expected<screen::RgbCapture> capture = screen::capture_display_rgb(platform);
    if (!capture) return std::move(capture).take_error();
    Expected<std::vector<MatchRecord>> anchors = search_pattern(
        capture->image.view(), pattern->image.view(), *options, capture->dpi, pattern->dpi);
    if (!anchors) return std::move(anchors).take_error();
    offset_matches(*anchors, screen_pixel_offset(*capture));
    return build_relative_reply(*anchors, *offset);
  }
  Expected<DecodedImage> image = decode_image_param(params["image"], "image");
  if (!image) return std::move(image).take_error();

  Expected<std::vector<MatchRecord>> anchors =
      search_pattern(image->image.view(), pattern->image.view(), *options, image->dpi, pattern->dpi);
  if (!anchors) return std::move(anchors).take_error();
  return build_relative_reply(*anchors, *offset);
}

}  // namespace pelagon2::cv
