#include "input/backing_scale.h"

#include "core/json.h"
#include "screen/displays.h"

namespace pelagon2::input {

Outcome get_screen_backing_scale_factor(const Json& /*params*/, platform::Platform& platform) {
  return finite_or_null(screen::desktop_scale(platform));
}

}  // namespace pelagon2::input
