#pragma once
// A scripted stand-in for the macOS event services: it answers what the test
// set and records every event posted, with all its fields.

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_platform.h"
#include "platform/macos/macos_input_model.h"

namespace pelagon2::testing {

// The system behind every sink of a test (one sink is made per request).
struct FakeMacSystem {
  bool trusted = true;
  double double_click_interval = 0.5;
  bool source_created = true;
  std::uint32_t main_display = 7;
  std::uint64_t main_height = 900;
  platform::macos::MacPoint location{0, 900};  // bottom-left origin
  bool pointer_follows = true;                 // a move event puts the pointer at its target
  std::uint64_t pressed_buttons = 0;
  std::function<bool(const platform::macos::MacEvent&)> refuse;  // true: the create call fails
  std::array<bool, 3> layout_available{true, true, true};
  std::map<std::pair<std::uint16_t, std::uint32_t>, std::u16string> translations;  // missing: no output
  std::vector<std::pair<std::uint16_t, std::uint32_t>> failing_translations;
  FakeClock* clock = nullptr;  // advanced by `time_per_post` per post when set
  platform::Clock::Duration time_per_post{0};

  std::vector<platform::macos::MacEvent> posted;
  std::vector<platform::macos::MacEvent> refused;
  std::vector<std::string> calls;
  std::uint32_t selected_layout = 99;

  std::unique_ptr<platform::macos::MacEventSink> make_sink();
  std::unique_ptr<platform::InputBackend> backend(platform::Clock& input_clock) {
    return platform::macos::make_input_backend([this] { return make_sink(); }, input_clock);
  }
};

class FakeMacEventSink final : public platform::macos::MacEventSink {
 public:
  explicit FakeMacEventSink(FakeMacSystem& system) : s_(system) {}

  bool accessibility_trusted_prompting() override {
    s_.calls.push_back("trusted");
    return s_.trusted;
  }
  double double_click_interval() override {
    s_.calls.push_back("interval");
    return s_.double_click_interval;
  }
  bool create_event_source() override {
    s_.calls.push_back("source");
    return s_.source_created;
  }
  std::uint32_t main_display_id() override { return s_.main_display; }
  std::uint64_t display_pixels_high(std::uint32_t display) override {
    return display == s_.main_display ? s_.main_height : 0;
  }
  platform::macos::MacPoint mouse_location() override { return s_.location; }
  std::uint64_t pressed_mouse_buttons() override { return s_.pressed_buttons; }

  bool post(const platform::macos::MacEvent& event) override {
    if (s_.refuse && s_.refuse(event)) {
      s_.refused.push_back(event);
      return false;
    }
    s_.posted.push_back(event);
    using Kind = platform::macos::MacEvent::Kind;
    if (event.kind == Kind::mouse && s_.pointer_follows &&
        (event.mouse_type == platform::macos::kMouseMoved || event.mouse_type == platform::macos::kLeftMouseDragged ||
         event.mouse_type == platform::macos::kRightMouseDragged)) {
      s_.location = {event.x, static_cast<double>(s_.main_height) - event.y};
    }
    if (s_.clock) s_.clock->time += s_.time_per_post;
    return true;
  }

  bool select_keyboard_layout(platform::macos::KeyboardLayoutSource source) override {
    const auto index = static_cast<std::uint32_t>(source);
    s_.calls.push_back("layout " + std::to_string(index));
    if (!s_.layout_available[index]) return false;
    s_.selected_layout = index;
    return true;
  }
  std::optional<std::u16string> translate_key(std::uint16_t code, std::uint32_t state) override {
    for (const auto& failing : s_.failing_translations) {
      if (failing == std::pair{code, state}) return std::nullopt;
    }
    const auto it = s_.translations.find({code, state});
    return it == s_.translations.end() ? std::u16string() : it->second;
  }

 private:
  FakeMacSystem& s_;
};

inline std::unique_ptr<platform::macos::MacEventSink> FakeMacSystem::make_sink() {
  return std::make_unique<FakeMacEventSink>(*this);
}

}  // namespace pelagon2::testing
