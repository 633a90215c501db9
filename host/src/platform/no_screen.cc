#include "platform/no_screen.h"

namespace pelagon2::platform {
namespace {

class NoDisplays final : public Displays {
 public:
  Expected<std::vector<DisplayRecord>> active_displays() override { return std::vector<DisplayRecord>{}; }
  std::vector<ScreenRecord> screens() override { return {}; }
  std::optional<double> main_screen_scale() override { return std::nullopt; }
};

class NoCapture final : public ScreenCapture {
 public:
  // There is no permission to withhold; the capture itself finds no monitor.
  bool preflight_access() override { return true; }
  bool request_access() override { return true; }
  Expected<RawCapture> capture(const DisplayRecord&) override { return make_error("no monitors"); }
};

class NoWindows final : public WindowList {
 public:
  std::vector<std::int32_t> browser_pids() override { return {}; }
  std::optional<std::vector<WindowRecord>> front_to_back() override { return std::nullopt; }
};

class NoPermissions final : public Permissions {
 public:
  bool accessibility_trusted() override { return false; }
  bool request_accessibility() override { return false; }
};

class NoSettings final : public SettingsOpener {
 public:
  Done open(const std::string&) override { return std::monostate{}; }
};

class NoInput final : public InputBackend {
 public:
  Clock& clock() override { return system_clock(); }
  Expected<std::unique_ptr<InputSession>> open(EventPacing&) override {
    return make_error("input_backend_unavailable: no connection could be established: (no display to send input to)");
  }
};

// Builds whose backend brings no recognizer answer every recognition request
// with this.
class NoRecognizer final : public Recognizer {
 public:
  Expected<std::vector<RecognizedLine>> recognize(const RecognitionImage&, const std::optional<std::string>&) override {
    return make_error("no text recognizer in this build");
  }
  Expected<std::vector<std::string>> languages() override { return make_error("no text recognizer in this build"); }
};

}  // namespace

std::unique_ptr<Platform> create_no_screen_platform() {
  auto platform = std::make_unique<Platform>();
  platform->displays = std::make_unique<NoDisplays>();
  platform->capture = std::make_unique<NoCapture>();
  platform->windows = std::make_unique<NoWindows>();
  platform->permissions = std::make_unique<NoPermissions>();
  platform->settings = std::make_unique<NoSettings>();
  platform->input = std::make_unique<NoInput>();
  platform->recognizer = std::make_unique<NoRecognizer>();
  return platform;
}

}  // namespace pelagon2::platform
