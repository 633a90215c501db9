#include "platform/macos/macos_input_model.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <type_traits>
#include <variant>

#include "core/utf8.h"
#include "vision_core/rounding.h"

namespace pelagon2::platform::macos {
namespace {

using Duration = Clock::Duration;
namespace act = platform::action;

constexpr std::uint16_t kTabKeyCode = 48;
constexpr std::size_t kTextChunk = 20;  // characters per text event

constexpr std::array<std::uint16_t, 15> kFunctionKeyCodes = {122, 120, 99,  118, 96,  97,  98, 100,
                                                             101, 109, 103, 111, 105, 107, 113};

Error failed(const char* what) { return make_error(std::string("simulating input failed: (") + what + ")"); }

std::int32_t negated(std::int32_t value) {
  return value == std::numeric_limits<std::int32_t>::min() ? std::numeric_limits<std::int32_t>::max() : -value;
}

std::u16string utf16(const std::u32string& text) {
  std::u16string out;
  for (const char32_t c : text) {
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

Duration milliseconds(std::uint64_t ms) {
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<Duration::rep>::max() / 1000000);
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::min(ms, kMax)));
}

class Session final : public InputSession {
 public:
  Session(std::unique_ptr<MacEventSink> sink, Clock& clock, EventPacing& pacing, double double_click_interval)
      : sink_(std::move(sink)),
        clock_(clock),
        pacing_(pacing),
        main_display_(sink_->main_display_id()),
        created_(clock.now()) {
    // A NaN or negative interval never counts a second click.
    if (double_click_interval > 0) {
      interval_ =
          std::chrono::duration_cast<Duration>(std::chrono::duration<double>(std::min(double_click_interval, 1e9)));
    }
    for (Click& click : clicks_) click.last_press = created_;
  }

  Done perform(const InputAction& action) override {
    return std::visit([this](const auto& a) { return run(a); }, action);
  }

  void release_held_keys() override {
    const std::vector<std::uint16_t> held = held_;
    for (const std::uint16_t code : held) release(code);
    held_.clear();
  }

 private:
  struct Click {
    std::uint32_t count = 0;
    Duration last_press{0};
  };

  PointerPosition pointer() {
    const MacPoint at = sink_->mouse_location();
    using vision_core::saturate_to;
    const auto height = static_cast<std::int64_t>(
        std::min<std::uint64_t>(sink_->display_pixels_high(main_display_), std::numeric_limits<std::int64_t>::max()));
    const std::int64_t y = height - saturate_to<std::int32_t>(at.y);
    return PointerPosition{saturate_to<std::int32_t>(at.x),
                           static_cast<std::int32_t>(std::clamp<std::int64_t>(
                               y, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()))};
  }

  bool post(MacEvent event, std::uint64_t flags) {
    event.fields.insert(event.fields.begin(), {kFieldUserData, kUserData});
    event.flags = flags;
    if (!sink_->post(event)) return false;
    pacing_.posted();
    return true;
  }

  Done run(const act::MouseMove& move) {
    const std::uint64_t pressed = sink_->pressed_mouse_buttons();
    MacEvent event;
    event.kind = MacEvent::Kind::mouse;
    if (pressed & 1) {
      event.mouse_type = kLeftMouseDragged;
    } else if (pressed & 2) {
      event.mouse_type = kRightMouseDragged;
      event.mouse_button = 1;
    } else {
      event.mouse_type = kMouseMoved;
    }
    event.x = move.x;
    event.y = move.y;
    // The relative motion carries the current position minus the target.
    const PointerPosition from = pointer();
    event.fields = {{kFieldDeltaX, std::int64_t{from.x} - move.x}, {kFieldDeltaY, std::int64_t{from.y} - move.y}};
    if (!post(std::move(event), flags_)) return failed("failed creating event to move the mouse");
    wait_for_pointer_arrival(clock_, move.x, move.y, [this] { return std::optional<PointerPosition>(pointer()); });
    return std::monostate{};
  }

  Done button(MouseButton button, bool down) {
    MacEvent event;
    event.kind = MacEvent::Kind::mouse;
    switch (button) {
      case MouseButton::Left:
        event.mouse_type = down ? kLeftMouseDown : kLeftMouseUp;
        break;
      case MouseButton::Right:
        event.mouse_type = down ? kRightMouseDown : kRightMouseUp;
        event.mouse_button = 1;
        break;
      case MouseButton::Middle:
        event.mouse_type = down ? kOtherMouseDown : kOtherMouseUp;
        event.mouse_button = 2;
        event.fields.emplace_back(kFieldButtonNumber, 2);
        break;
    }
    const PointerPosition at = pointer();
    event.x = at.x;
    event.y = at.y;
    Click& click = clicks_[static_cast<std::size_t>(button)];
    if (down) {
      const Duration now = clock_.now();
      click.count = now - click.last_press < interval_ ? click.count + 1 : 1;
      click.last_press = now;
    }
    event.fields.emplace_back(kFieldClickState, click.count);
    if (!post(std::move(event), flags_)) return failed("failed creating event to enter mouse button");
    return std::monostate{};
  }

  Done run(const act::ButtonDown& a) { return button(a.button, true); }
  Done run(const act::ButtonUp& a) { return button(a.button, false); }

  bool key_event(std::uint16_t code, bool down) {
    if (down) {
      flags_ |= flag_bits(code);
    } else {
      flags_ &= ~flag_bits(code);
    }
    MacEvent event;
    event.kind = MacEvent::Kind::keyboard;
    event.key_code = code;
    event.key_down = down;
    return post(std::move(event), flags_);
  }

  Done press(std::uint16_t code) {
    if (!key_event(code, true)) return failed("failed creating event to press the key");
    held_.push_back(code);
    return std::monostate{};
  }

  Done release(std::uint16_t code) {
    if (!key_event(code, false)) return failed("failed creating event to release the key");
    std::erase(held_, code);
    return std::monostate{};
  }

  Done tap(std::uint16_t code) {
    Done pressed = press(code);
    if (!pressed) return pressed;
    return release(code);
  }

  Done run(const act::ModifierDown& a) { return press(modifier_key_code(a.modifier)); }
  Done run(const act::ModifierUp& a) { return release(modifier_key_code(a.modifier)); }
  Done run(const act::KeyTap& a) { return tap(key_code(a.key)); }

  // The code whose translation in the current layout gives `c`, unshifted or
  // shifted; the last match wins, and 0 when none does.
  std::uint16_t layout_key_code(char16_t c) {
    const bool layout = sink_->select_keyboard_layout(KeyboardLayoutSource::current_keyboard) ||
                        sink_->select_keyboard_layout(KeyboardLayoutSource::current_keyboard_layout) ||
                        sink_->select_keyboard_layout(KeyboardLayoutSource::current_ascii_capable_layout);
    if (!layout) return 0;
    std::uint16_t found = 0;
    const std::u16string wanted(1, c);
    for (std::uint16_t code = 0; code < 128; ++code) {
      for (const std::uint32_t state : {kPlainModifierState, kShiftModifierState}) {
        if (sink_->translate_key(code, state) == wanted) found = code;
      }
    }
    return found;
  }

  std::uint16_t key_code(const Key& key) {
    if (const std::optional<std::uint16_t> code = fixed_key_code(key)) return *code;
    const std::optional<char16_t> c = key_character(key);
    return c ? layout_key_code(*c) : 0;
  }

  // One chunk: its leading carriage returns, line feeds and tabs go first
  // (the first two behind a zero-width space so they arrive as text), then
  // the rest as one text event. Text ignores held modifiers: flags 0.
  Done type_chunk(const std::u32string& chunk) {
    std::size_t i = 0;
    for (; i < chunk.size(); ++i) {
      const char32_t c = chunk[i];
      if (c == U'\r' || c == U'\n') {
        Done done = type_chunk(std::u32string{U'\u200B', c});
        if (!done) return done;
      } else if (c == U'\t') {
        Done done = tap(kTabKeyCode);
        if (!done) return done;
      } else {
        break;
      }
    }
    MacEvent event;
    event.kind = MacEvent::Kind::keyboard;
    event.key_code = 0;
    event.key_down = true;
    event.unicode = utf16(chunk.substr(i));
    if (!post(std::move(event), 0)) return failed("failed creating event to enter the text");
    return std::monostate{};
  }

  Done run(const act::TypeText& a) {
    const std::u32string text = utf8_code_points(a.text);
    for (std::size_t start = 0; start < text.size(); start += kTextChunk) {
      Done done = type_chunk(text.substr(start, kTextChunk));
      if (!done) return done;
    }
    return std::monostate{};
  }

  Done wheel(std::uint32_t count, std::int32_t wheel1, std::int32_t wheel2) {
    MacEvent event;
    event.kind = MacEvent::Kind::scroll;
    event.wheel_count = count;
    event.wheel1 = wheel1;
    event.wheel2 = wheel2;
    if (!post(std::move(event), flags_)) return failed("failed creating event to scroll");
    return std::monostate{};
  }

  // The wheel turns against the content: a positive amount scrolls with -a.
  Done run(const act::WheelVertical& a) { return wheel(1, negated(a.lines), 0); }
  Done run(const act::WheelHorizontal& a) { return wheel(2, 0, negated(a.lines)); }

  Done run(const act::SleepMs& a) {
    clock_.sleep(milliseconds(a.milliseconds));
    return std::monostate{};
  }

  std::unique_ptr<MacEventSink> sink_;
  Clock& clock_;
  EventPacing& pacing_;
  std::uint32_t main_display_;
  Duration created_;
  Duration interval_{0};
  std::uint64_t flags_ = kInitialFlags;
  std::vector<std::uint16_t> held_;
  std::array<Click, 3> clicks_{};
};

class Backend final : public InputBackend {
 public:
  Backend(std::function<std::unique_ptr<MacEventSink>()> make_sink, Clock& clock)
      : make_sink_(std::move(make_sink)), clock_(clock) {}

  Clock& clock() override { return clock_; }

  Expected<std::unique_ptr<InputSession>> open(EventPacing& pacing) override {
    std::unique_ptr<MacEventSink> sink = make_sink_ ? make_sink_() : nullptr;
    if (!sink || !sink->accessibility_trusted_prompting()) {
      return make_error("input_backend_unavailable: the application does not have the permission to simulate input");
    }
    const double interval = sink->double_click_interval();
    if (!sink->create_event_source()) {
      return make_error(
          "input_backend_unavailable: no connection could be established: (failed creating event source)");
    }
    return std::unique_ptr<InputSession>(new Session(std::move(sink), clock_, pacing, interval));
  }

 private:
  std::function<std::unique_ptr<MacEventSink>()> make_sink_;
  Clock& clock_;
};

}  // namespace

std::unique_ptr<InputBackend> make_input_backend(std::function<std::unique_ptr<MacEventSink>()> make_sink,
                                                 Clock& clock) {
  return std::make_unique<Backend>(std::move(make_sink), clock);
}

std::uint16_t modifier_key_code(Modifier modifier) {
  switch (modifier) {
    case Modifier::Ctrl:
      return 59;
    case Modifier::Alt:
      return 58;
    case Modifier::Shift:
      return 56;
    case Modifier::Meta:
      return 55;
  }
  return 0;
}

std::optional<std::uint16_t> fixed_key_code(const Key& key) {
  switch (key.kind) {
    case KeyKind::Up:
      return 126;
    case KeyKind::Down:
      return 125;
    case KeyKind::Left:
      return 123;
    case KeyKind::Right:
      return 124;
    case KeyKind::PageUp:
      return 116;
    case KeyKind::PageDown:
      return 121;
    case KeyKind::Backspace:
      return 51;
    case KeyKind::Delete:
      return 117;
    case KeyKind::Enter:
      return 36;
    case KeyKind::Tab:
      return kTabKeyCode;
    case KeyKind::Escape:
      return 53;
    case KeyKind::Home:
      return 115;
    case KeyKind::Space:
      return 49;
    case KeyKind::End:
      return 119;
    case KeyKind::F:
      if (key.payload >= 1 && key.payload <= kFunctionKeyCodes.size()) return kFunctionKeyCodes[key.payload - 1u];
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::optional<char16_t> key_character(const Key& key) {
  switch (key.kind) {
    case KeyKind::Digit:
      return key.payload <= 9 ? std::optional<char16_t>(static_cast<char16_t>(u'0' + key.payload)) : std::nullopt;
    case KeyKind::Letter:
      return key.payload >= 'a' && key.payload <= 'z' ? std::optional<char16_t>(key.payload) : std::nullopt;
    case KeyKind::Comma:
      return u',';
    case KeyKind::Period:
      return u'.';
    case KeyKind::Semicolon:
      return u';';
    case KeyKind::Minus:
      return u'-';
    default:
      return std::nullopt;
  }
}

std::uint64_t flag_bits(std::uint16_t key_code) {
  switch (key_code) {
    case 59:
      return 0x40001;
    case 58:
      return 0x80020;
    case 56:
      return 0x20002;
    case 55:
      return 0x100008;
    case 123:
    case 124:
    case 125:
    case 126:
      return 0xa00000;
    case 115:
    case 116:
    case 117:
    case 119:
    case 121:
      return 0x800000;
    default:
      break;
  }
  if (std::find(kFunctionKeyCodes.begin(), kFunctionKeyCodes.end(), key_code) != kFunctionKeyCodes.end()) {
    return 0x800000;
  }
  return 0;
}

}  // namespace pelagon2::platform::macos
