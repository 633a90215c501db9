// The X11 input backend driven directly on a private server: the model's case
// rules are Xlib's, keys held when an action fails are released, clicks far
// off the screen land on its edge, a borrowed key code keeps its character until
// the application has read it and is put back, and a server that vanishes
// mid-request fails the action instead of the process.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "input/input_execution.h"
#include "platform/x11/x11_input.h"
#include "platform/x11/x11_input_model.h"
#include "support/x11_input_recorder.h"
#include "support/xvfb_server.h"

namespace pelagon2::platform::x11 {
namespace {

using testing::InputRecorder;
using testing::no_key_down;
using testing::RecordedEvent;
namespace action = platform::action;

class ScopedDisplay {
 public:
  explicit ScopedDisplay(const std::string& value) {
    if (const char* old = std::getenv("DISPLAY")) saved_ = old;
    setenv("DISPLAY", value.c_str(), 1);
  }
  ~ScopedDisplay() {
    if (saved_) {
      setenv("DISPLAY", saved_->c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
  }

 private:
  std::optional<std::string> saved_;
};

// Real time, with a hook on every sleep.
class HookedClock final : public Clock {
 public:
  std::function<void(Duration)> on_sleep;
  Duration now() override { return system_clock().now(); }
  void sleep(Duration d) override {
    if (on_sleep) on_sleep(d);
    system_clock().sleep(d);
  }
};

// The host does not link Xlib, so its case rules are its own; here they meet
// XConvertCase on every Latin-1 keysym and on Unicode keysyms through
// Armenian. A Latin-1 keysym whose partner lies outside Latin-1 gets Xlib's
// code point as a Unicode keysym (Xlib returns the bare code point).
TEST(X11InputBackend, CaseRulesAreXlibs) {
  const auto as_keysym = [](::KeySym k, ::KeySym from) -> KeySym {
    return static_cast<KeySym>(from <= 0xff && k > 0xff ? 0x01000000 + k : k);
  };
  int mismatches = 0;
  std::vector<::KeySym> keysyms;
  for (::KeySym k = 0x20; k <= 0xff; ++k) keysyms.push_back(k);
  for (::KeySym c = 0x20; c < 0x590; ++c) keysyms.push_back(0x01000000 + c);
  for (const ::KeySym k : keysyms) {
    ::KeySym lower = 0, upper = 0;
    XConvertCase(k, &lower, &upper);
    const CasePair expected{as_keysym(lower, k), as_keysym(upper, k)};
    const CasePair ours = convert_case(static_cast<KeySym>(k));
    if (ours != expected && ++mismatches <= 10) {
      ADD_FAILURE() << std::hex << k << ": " << ours.lower << "/" << ours.upper << " where Xlib has " << expected.lower
                    << "/" << expected.upper;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(X11InputBackend, HeldKeysAreReleasedWhenAnActionFails) {
  testing::XvfbServer server;
  ASSERT_TRUE(server.running());
  InputRecorder recorder(server.display());
  ASSERT_TRUE(recorder.ready());
  ScopedDisplay env(server.display());
  auto backend = make_input();
  const InputActionList actions = {action::ModifierDown{Modifier::Ctrl}, action::KeyTap{Key{KeyKind::F, 14}},
                                   action::TypeText{std::string("x\0", 2)}, action::ModifierUp{Modifier::Ctrl}};
  const Done done = input::execute_input_actions(actions, *backend);
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error(), "input_failed: TypeText(\"x\\u{0}\"): simulating input failed: (no keysym for U+0000)");
  std::string keys;
  for (const RecordedEvent& e : recorder.take()) {
    if (e.kind == "press" || e.kind == "release") keys += e.kind + " " + std::to_string(e.keysym) + "\n";
  }
  EXPECT_EQ(keys, "press " + std::to_string(XK_Control_L) + "\npress " + std::to_string(XK_F14) + "\nrelease " +
                      std::to_string(XK_F14) + "\nrelease " + std::to_string(XK_Control_L) + "\n");
  EXPECT_TRUE(no_key_down(recorder.display()));
}

TEST(X11InputBackend, BorrowedKeyIsReadBeforeItIsPutBack) {
  testing::XvfbServer server;
  ASSERT_TRUE(server.running());
  InputRecorder recorder(server.display(), 3);  // an application a little behind
  ASSERT_TRUE(recorder.ready());
  ScopedDisplay env(server.display());
  auto backend = make_input();
  int min = 0, max = 0, per = 0;
  XDisplayKeycodes(recorder.display(), &min, &max);
  ::KeySym* map = XGetKeyboardMapping(recorder.display(), static_cast<KeyCode>(min), max - min + 1, &per);
  const std::vector<::KeySym> before(map, map + (max - min + 1) * per);
  XFree(map);
  // Restoring the key code as soon as the server has processed the tap makes
  // a client still busy with earlier events decode the restored map.
  for (const char* text : {"\u00e9", "\u0416", "\U0001F642"}) {
    ASSERT_TRUE(input::execute_input_actions({action::TypeText{text}}, *backend).ok());
    const std::vector<RecordedEvent> events = recorder.take();
    EXPECT_EQ(InputRecorder::typed(events), text);
    // The key code was put back after the press was decoded.
    bool pressed = false;
    bool restored = false;
    for (const RecordedEvent& e : events) {
      pressed = pressed || e.kind == "press";
      restored = restored || (pressed && e.kind.rfind("mapping ", 0) == 0);
    }
    EXPECT_TRUE(restored) << text;
    map = XGetKeyboardMapping(recorder.display(), static_cast<KeyCode>(min), max - min + 1, &per);
    EXPECT_EQ(std::vector<::KeySym>(map, map + (max - min + 1) * per), before) << text;
    XFree(map);
  }
}

TEST(X11InputBackend, RecycledKeyCodesAreReadBeforeTheyChange) {
  testing::XvfbServer server;
  ASSERT_TRUE(server.running());
  InputRecorder recorder(server.display(), 2);
  ASSERT_TRUE(recorder.ready());
  ScopedDisplay env(server.display());
  auto backend = make_input();
  // Twice as many distinct characters as the map has free key codes.
  std::string text;
  for (char32_t c = 0x0410; c < 0x0410 + 40; ++c) {
    text += static_cast<char>(0xC0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
  ASSERT_TRUE(input::execute_input_actions({action::TypeText{text}}, *backend).ok());
  EXPECT_EQ(InputRecorder::typed(recorder.take()), text);
}

TEST(X11InputBackend, FarOffPointerTargetsLandOnTheEdge) {
  testing::XvfbServer server{"1280x800x24"};
  ASSERT_TRUE(server.running());
  InputRecorder recorder(server.display());
  ASSERT_TRUE(recorder.ready());
  ScopedDisplay env(server.display());
  auto backend = make_input();
  struct Case {
    std::int32_t x, y;
    int to_x, to_y;
  };
  // XTest carries 16-bit coordinates: unclamped, 40000 would wrap to 0 and 65546 to 10.
  const Case cases[] = {
      {40000, 300, 1279, 300},   {65546, 10, 1279, 10},   {2147483647, 300, 1279, 300},
      {-5, 7, 0, 7},             {-2147483647 - 1, -2147483647 - 1, 0, 0},
      {1280, 800, 1279, 799},    {321, 123, 321, 123},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(input::execute_input_actions({action::MouseMove{c.x, c.y}, action::ButtonDown{MouseButton::Left},
                                              action::ButtonUp{MouseButton::Left}},
                                             *backend)
                    .ok());
    std::string clicks;
    for (const RecordedEvent& e : recorder.take()) {
      if (e.kind == "button_press") clicks += std::to_string(e.x) + "," + std::to_string(e.y);
    }
    EXPECT_EQ(clicks, std::to_string(c.to_x) + "," + std::to_string(c.to_y)) << c.x << "," << c.y;
  }
}

TEST(X11InputBackend, VanishingServerFailsTheActionNotTheProcess) {
  testing::XvfbServer server;
  ASSERT_TRUE(server.running());
  ScopedDisplay env(server.display());
  HookedClock clock;
  clock.on_sleep = [&](Clock::Duration d) {
    if (d == std::chrono::milliseconds(5)) server.stop();
  };
  auto backend = make_input(clock);
  const Done done =
      input::execute_input_actions({action::TypeText{"\u0416"}, action::KeyTap{Key{KeyKind::Letter, 'a'}},
                                    action::SleepMs{5}, action::KeyTap{Key{KeyKind::Letter, 'b'}}},
                                   *backend);
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error(),
            "input_failed: KeyTap(Letter(98)): simulating input failed: (the connection to the X display was lost)");
}

}  // namespace
}  // namespace pelagon2::platform::x11
