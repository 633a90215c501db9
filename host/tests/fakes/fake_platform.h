#pragma once
// Scripted platform for unit tests: each service answers what the test put in
// and records what it was asked.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "vision_core/image.h"

namespace pelagon2::testing {

// One display record as a platform would report it.
inline platform::DisplayRecord display(std::uint32_t id, double x, double y, double width, double height,
                                       std::uint64_t pixels, bool is_main = false) {
  platform::DisplayRecord d;
  d.id = id;
  d.x = x;
  d.y = y;
  d.width = width;
  d.height = height;
  d.mode_pixel_width = pixels;
  d.is_main = is_main;
  return d;
}

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
  int preflight_calls = 0;
  int request_calls = 0;
  // What capture() hands out; `bytes` of `frame` points into `pixels`.
  std::vector<std::uint8_t> pixels;
  platform::RawCapture frame;
  std::optional<std::string> error;
  std::vector<std::uint32_t> captured_ids;

  // Shows `image` as the platform would deliver it: blue, green, red and a
  // fourth byte (`alpha`), each row followed by `padding` bytes of 0xEE.
  void show(const vision_core::RgbImage& image, platform::PixelOrder order = platform::PixelOrder::bgrx,
            std::size_t padding = 0, std::uint8_t alpha = 0x7F) {
    frame = platform::RawCapture{};
    frame.width = image.width;
    frame.height = image.height;
    frame.bytes_per_row = std::size_t{image.width} * 4 + padding;
    frame.order = order;
    pixels.assign(frame.bytes_per_row * image.height, 0xEE);
    for (std::uint32_t y = 0; y < image.height; ++y) {
      for (std::uint32_t x = 0; x < image.width; ++x) {
        const std::uint8_t* rgb = &image.pixels[(std::size_t{y} * image.width + x) * 3];
        std::uint8_t* out = &pixels[y * frame.bytes_per_row + std::size_t{x} * 4];
        out[0] = rgb[2];
        out[1] = rgb[1];
        out[2] = rgb[0];
        out[3] = alpha;
      }
    }
  }

  bool preflight_access() override {
    ++preflight_calls;
    return preflight;
  }
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

  Done open(const std::string& address) override {
    if (error) return make_error(*error);
    opened.push_back(address);
    return std::monostate{};
  }
};

// Time that passes only when the code under test sleeps or the test advances it.
class FakeClock final : public platform::Clock {
 public:
  Duration time{std::chrono::seconds(1000)};
  Duration per_read{0};  // passes at every reading, after the value is read
  std::vector<Duration> sleeps;
  std::vector<std::string>* log = nullptr;  // gets "sleep {ns}" when set
  std::function<void()> on_sleep;            // runs after each sleep

  Duration now() override {
    const Duration value = time;
    time += per_read;
    return value;
  }
  void sleep(Duration duration) override {
    sleeps.push_back(duration);
    if (log) log->push_back("sleep " + std::to_string(duration.count()));
    if (duration > Duration::zero()) time += duration;
    if (on_sleep) on_sleep();
  }
};

// Records the actions performed and the session's life; can be scripted to
// refuse the connection or to fail one action.
class FakeInputBackend final : public platform::InputBackend {
 public:
  FakeClock fake_clock;
  std::optional<std::string> open_error;
  std::optional<std::size_t> fail_at;  // index into the actions of one session
  std::string fail_message = "simulating input failed: (scripted)";
  int events_per_action = 1;
  platform::Clock::Duration time_per_action{0};
  int opens = 0;
  std::vector<platform::InputAction> performed;
  std::vector<std::string> log;  // "perform", "release", "close", "sleep {ns}"

  FakeInputBackend() { fake_clock.log = &log; }
  platform::Clock& clock() override { return fake_clock; }
  Expected<std::unique_ptr<platform::InputSession>> open(platform::EventPacing& pacing) override {
    ++opens;
    if (open_error) return make_error(*open_error);
    return std::unique_ptr<platform::InputSession>(new Session(*this, pacing));
  }

 private:
  class Session final : public platform::InputSession {
   public:
    Session(FakeInputBackend& backend, platform::EventPacing& pacing) : backend_(backend), pacing_(pacing) {}
    Done perform(const platform::InputAction& action) override {
      backend_.log.push_back("perform");
      const std::size_t index = count_++;
      if (backend_.fail_at && *backend_.fail_at == index) return make_error(backend_.fail_message);
      backend_.performed.push_back(action);
      for (int i = 0; i < backend_.events_per_action; ++i) pacing_.posted();
      backend_.fake_clock.time += backend_.time_per_action;
      return std::monostate{};
    }
    void release_held_keys() override { backend_.log.push_back("release"); }
    void close() override { backend_.log.push_back("close"); }

   private:
    FakeInputBackend& backend_;
    platform::EventPacing& pacing_;
    std::size_t count_ = 0;
  };
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
    input = std::make_unique<FakeInputBackend>();
    recognizer = std::make_unique<FakeRecognizer>();
  }
  FakeDisplays& displays_fake() { return static_cast<FakeDisplays&>(*displays); }
  FakeCapture& capture_fake() { return static_cast<FakeCapture&>(*capture); }
  FakeWindows& windows_fake() { return static_cast<FakeWindows&>(*windows); }
  FakePermissions& permissions_fake() { return static_cast<FakePermissions&>(*permissions); }
  FakeSettings& settings_fake() { return static_cast<FakeSettings&>(*settings); }
  FakeInputBackend& input_fake() { return static_cast<FakeInputBackend&>(*input); }
  FakeRecognizer& recognizer_fake() { return static_cast<FakeRecognizer&>(*recognizer); }
};

}  // namespace pelagon2::testing
