// The evdev codes of the Wayland backend against the kernel's own header, and
// the wheel rule against X11's directions.

#include <gtest/gtest.h>

#include "platform/wayland/wayland_input_model.h"
#include "platform/x11/x11_input_model.h"

#if defined(__linux__)
#include <linux/input-event-codes.h>
#endif

namespace pelagon2::platform::wayland {
namespace {

#if defined(__linux__)
TEST(WaylandInputModel, CodesAreTheKernels) {
  EXPECT_EQ(button_code(MouseButton::Left), unsigned{BTN_LEFT});
  EXPECT_EQ(button_code(MouseButton::Right), unsigned{BTN_RIGHT});
  EXPECT_EQ(button_code(MouseButton::Middle), unsigned{BTN_MIDDLE});
  EXPECT_EQ(modifier_code(Modifier::Ctrl), unsigned{KEY_LEFTCTRL});
  EXPECT_EQ(modifier_code(Modifier::Alt), unsigned{KEY_LEFTALT});
  EXPECT_EQ(modifier_code(Modifier::Shift), unsigned{KEY_LEFTSHIFT});
  EXPECT_EQ(modifier_code(Modifier::Meta), unsigned{KEY_LEFTMETA});
  struct Case {
    Key key;
    unsigned code;
  };
  const Case cases[] = {
      {{KeyKind::Up}, KEY_UP},          {{KeyKind::Right}, KEY_RIGHT},       {{KeyKind::Down}, KEY_DOWN},
      {{KeyKind::Left}, KEY_LEFT},      {{KeyKind::PageUp}, KEY_PAGEUP},     {{KeyKind::PageDown}, KEY_PAGEDOWN},
      {{KeyKind::Backspace}, KEY_BACKSPACE}, {{KeyKind::Delete}, KEY_DELETE}, {{KeyKind::Enter}, KEY_ENTER},
      {{KeyKind::Tab}, KEY_TAB},        {{KeyKind::Escape}, KEY_ESC},        {{KeyKind::Home}, KEY_HOME},
      {{KeyKind::Space}, KEY_SPACE},    {{KeyKind::End}, KEY_END},           {{KeyKind::F, 1}, KEY_F1},
      {{KeyKind::F, 10}, KEY_F10},      {{KeyKind::F, 11}, KEY_F11},         {{KeyKind::F, 12}, KEY_F12},
      {{KeyKind::F, 13}, KEY_F13},      {{KeyKind::F, 15}, KEY_F15},         {{KeyKind::F, 24}, KEY_F24},
      {{KeyKind::Digit, 0}, KEY_0},     {{KeyKind::Digit, 1}, KEY_1},        {{KeyKind::Digit, 9}, KEY_9},
      {{KeyKind::Letter, 'a'}, KEY_A},  {{KeyKind::Letter, 'm'}, KEY_M},     {{KeyKind::Letter, 'q'}, KEY_Q},
      {{KeyKind::Letter, 'z'}, KEY_Z},  {{KeyKind::Comma}, KEY_COMMA},       {{KeyKind::Period}, KEY_DOT},
      {{KeyKind::Semicolon}, KEY_SEMICOLON}, {{KeyKind::Minus}, KEY_MINUS},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(key_code(c.key), std::optional<EvdevCode>(c.code))
        << static_cast<int>(c.key.kind) << " " << int{c.key.payload};
  }
  // Every letter: the table has no gap or repeat.
  for (char l = 'a'; l <= 'z'; ++l) {
    const std::optional<EvdevCode> code = key_code({KeyKind::Letter, static_cast<std::uint8_t>(l)});
    ASSERT_TRUE(code.has_value()) << l;
    for (char m = 'a'; m < l; ++m) EXPECT_NE(key_code({KeyKind::Letter, static_cast<std::uint8_t>(m)}), code) << l << m;
  }
  EXPECT_EQ(kKeyF24, unsigned{KEY_F24});
  EXPECT_EQ(kKeyRightAlt, unsigned{KEY_RIGHTALT});
}
#endif

TEST(WaylandInputModel, PayloadsOutsideTheKeyboardHaveNoKey) {
  for (const Key key : {Key{KeyKind::F, 0}, Key{KeyKind::F, 25}, Key{KeyKind::Digit, 10}, Key{KeyKind::Letter, 'A'},
                        Key{KeyKind::Letter, '1'}}) {
    EXPECT_EQ(key_code(key), std::nullopt) << int{key.payload};
  }
}

TEST(WaylandInputModel, WheelScrollsAsX11Does) {
  for (const std::int32_t lines : {-3, -1, 1, 2, 7}) {
    for (const bool vertical : {true, false}) {
      const WheelAxis axis = wheel_axis(vertical, lines);
      EXPECT_EQ(axis.axis, vertical ? Axis::vertical : Axis::horizontal);
      EXPECT_EQ(axis.steps, lines);
      EXPECT_EQ(axis.value(), 15 * lines);
      // X11's down and right buttons (5, 7) go with positive axis values.
      const unsigned x11_button = x11::wheel_clicks(vertical, lines).button;
      EXPECT_EQ(axis.value() > 0, x11_button == 5 || x11_button == 7) << lines;
    }
  }
  EXPECT_EQ(wheel_axis(true, 0).steps, 0);
  EXPECT_EQ(wheel_axis(true, 1000000).steps, 100);
  EXPECT_EQ(wheel_axis(false, -2147483647 - 1).steps, -100);
}

}  // namespace
}  // namespace pelagon2::platform::wayland
