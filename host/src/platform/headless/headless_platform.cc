#include "platform/no_screen.h"
#include "platform/tesseract/tesseract_loader.h"

namespace pelagon2::platform {

std::unique_ptr<Platform> create_platform() {
  std::unique_ptr<Platform> platform = create_no_screen_platform();
  platform->recognizer = tess::make_lazy_recognizer();
  return platform;
}

}  // namespace pelagon2::platform
