#include "platform/no_screen.h"

namespace pelagon2::platform {

std::unique_ptr<Platform> create_platform() { return create_no_screen_platform(); }

}  // namespace pelagon2::platform
