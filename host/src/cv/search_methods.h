#pragma once
// The search methods on a supplied haystack image.

#include <string_view>

#include "core/json.h"
#include "core/outcome.h"
#include "cv/image_input.h"
#include "platform/platform.h"

namespace pelagon2::cv {

// Looks up a required image parameter and decodes it: "bad_params: missing
// '{key}'" when `params` is not an object or lacks the key.
Expected<DecodedImage> required_image_param(const Json& params, std::string_view key);

// search_image: `pattern` searched in the supplied `image`.
Outcome search_image(const Json& params);

// search_relative: anchor `pattern`, regions at `offset` from every anchor; in
// the supplied `image`, or on the screen when there is none.
Outcome search_relative(const Json& params, platform::Platform& platform);

}  // namespace pelagon2::cv
