#pragma once
// Scripted platform for unit tests: each service answers what the test put in
// and records what it was asked.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace pelagon2::testing {

class FakeDisplays final : public platform::Displays {
 public:
  Expected<std::vector<platform::DisplayRecord>> list = std::vector<platform::DisplayRecord>{};
  std::vector<platform::ScreenRecord> screen_list;
  std::optional<double> main_scale;
  int list_calls = 0;

  Expected<std::vector<platform::DisplayRecord>> active_displays() override {
    ++list_calls;
    return list;
  }
  std::vector<platform::ScreenRecord> screens() override { return screen_list; }
  std::optional<double> main_screen_scale() override { return main_scale; }
};

class FakeCapture final : public platform::ScreenCapture {
 public:
  bool preflight = true;
  bool request = true;
  int request_calls = 0;
  // What capture() hands out; `bytes` of `frame` points into `pixels`.
  std::vector<std::uint8_t> pixels;
  platform::RawCapture frame;
  std::optional<std::string> error;
  std::vector<std::uint32_t> captured_ids;

  bool preflight_access() override { return preflight; }
  bool request_access() override {
    ++request_calls;
    return request;
  }
  Expected<platform::RawCapture> capture(const platform::DisplayRecord& display) override {
    captured_ids.push_back(display.id);
    if (error) return make_error(*error);
    platform::RawCapture out = frame;
    out.bytes = pixels;
    return out;
  }
};

class FakeWindows final : public platform::WindowList {
 public:
  std::vector<std::int32_t> pids;
  std::optional<std::vector<platform::WindowRecord>> windows;
  int window_list_calls = 0;

  std::vector<std::int32_t> browser_pids() override { return pids; }
  std::optional<std::vector<platform::WindowRecord>> front_to_back() override {
    ++window_list_calls;
    return windows;
  }
};

class FakePermissions final : public platform::Permissions {
 public:
  bool trusted = false;
  bool grant_on_request = false;
  int prompts = 0;

  bool accessibility_trusted() override { return trusted; }
  bool request_accessibility() override {
    ++prompts;
    return grant_on_request;
  }
};

class FakeSettings final : public platform::SettingsOpener {
 public:
  std::vector<std::string> opened;
  std::optional<std::string> error;

  Expected<std::monostate> open(const std::string& address) override {
    if (error) return make_error(*error);
    opened.push_back(address);
    return std::monostate{};
  }
};

class FakeRecognizer final : public platform::Recognizer {
 public:
  Expected<std::vector<platform::RecognizedLine>> lines = std::vector<platform::RecognizedLine>{};
  Expected<std::vector<std::string>> language_list = std::vector<std::string>{};
  // What each recognize() call was given.
  struct Call {
    std::vector<std::uint8_t> encoded;
    std::vector<std::uint8_t> rgb;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::optional<std::string> language;
  };
  std::vector<Call> calls;
  int language_calls = 0;

  Expected<std::vector<platform::RecognizedLine>> recognize(const platform::RecognitionImage& image,
                                                            const std::optional<std::string>& language) override {
    calls.push_back(Call{{image.encoded.begin(), image.encoded.end()},
                         {image.rgb.begin(), image.rgb.end()},
                         image.width,
                         image.height,
                         language});
    return lines;
  }
  Expected<std::vector<std::string>> languages() override {
    ++language_calls;
    return language_list;
  }
};

// A platform made of the fakes above, reachable by their concrete types.
struct FakePlatform : platform::Platform {
  FakePlatform() {
    displays = std::make_unique<FakeDisplays>();
    capture = std::make_unique<FakeCapture>();
    windows = std::make_unique<FakeWindows>();
    permissions = std::make_unique<FakePermissions>();
    settings = std::make_unique<FakeSettings>();
    recognizer = std::make_unique<FakeRecognizer>();
  }
  FakeDisplays& displays_fake() { return static_cast<FakeDisplays&>(*displays); }
  FakeCapture& capture_fake() { return static_cast<FakeCapture&>(*capture); }
  FakeWindows& windows_fake() { return static_cast<FakeWindows&>(*windows); }
  FakePermissions& permissions_fake() { return static_cast<FakePermissions&>(*permissions); }
  FakeSettings& settings_fake() { return static_cast<FakeSettings&>(*settings); }
  FakeRecognizer& recognizer_fake() { return static_cast<FakeRecognizer&>(*recognizer); }
};

}  // namespace pelagon2::testing
