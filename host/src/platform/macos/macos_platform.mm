// The macOS backend: each service below replaces the display-less answer of
// the same service.

#include "core/detached_spawn.h"
#include "platform/input_timing.h"
#include "platform/macos/macos_input_model.h"
#include "platform/macos/macos_model.h"
#include "platform/macos/macos_services.h"
#include "platform/no_screen.h"

namespace pelagon2::platform {
namespace {

class OpenSettings final : public SettingsOpener {
 public:
  Done open(const std::string& address) override {
    return spawn_detached(macos::kSettingsOpenProgram, {address});
  }
};

}  // namespace

std::unique_ptr<Platform> create_platform() {
  std::unique_ptr<Platform> platform = create_no_screen_platform();
  platform->displays = macos::make_displays();
  platform->capture = macos::make_screen_capture();
  platform->windows = macos::make_window_list();
  platform->permissions = macos::make_permissions();
  platform->settings = std::make_unique<OpenSettings>();
  platform->input = macos::make_input_backend(macos::make_event_sink, system_clock());
  platform->recognizer = macos::make_recognizer();
  return platform;
}

}  // namespace pelagon2::platform
