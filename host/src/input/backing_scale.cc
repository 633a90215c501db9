#include "input/backing_scale.h"

#include "cv/displays.h"
#include "cv/search_pattern.h"

namespace pelagon2::input {

Outcome get_screen_backing_scale_factor(const Json& /*params*/, platform::Platform& platform) {
  return cv::finite_or_null(cv::desktop_scale(platform));
}

}  // namespace pelagon2::input
