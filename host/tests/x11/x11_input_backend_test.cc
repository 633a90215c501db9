// The X11 input backend driven directly on a private server: keys held when
// an action fails are released, a borrowed key code keeps its character until
// applications have read it, and a server that vanishes mid-request fails the
// action instead of the process.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <functional>
#include <string>

#include "input/input_execution.h"
#include "platform/x11/x11_input.h"
#include "support/x11_input_recorder.h"
#include "support/xvfb_server.h"

namespace pelagon2::platform::x11 {
namespace {

using testing::InputRecorder;
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
class HookedClock final : public InputClock {
 public:
  std::function<void(Duration)> on_sleep;
  Duration now() override { return system_input_clock().now(); }
  void sleep(Duration d) override {
    if (on_sleep) on_sleep(d);
    system_input_clock().sleep(d);
  }
};

bool no_key_down(Display* d) {
  std::array<char, 32> keys{};
  XQueryKeymap(d, keys.data());
  for (const char k : keys) {
    if (k != 0) return false;
  }
  return true;
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
  const Expected<std::monostate> done = input::execute_input_actions(actions, *backend);
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

TEST(X11InputBackend, BorrowedKeyOutlivesItsLastUse) {
  testing::XvfbServer server;
  ASSERT_TRUE(server.running());
  InputRecorder recorder(server.display());
  ASSERT_TRUE(recorder.ready());
  ScopedDisplay env(server.display());
  auto backend = make_input();
  ASSERT_TRUE(input::execute_input_actions({action::TypeText{"\u00e9"}}, *backend).ok());
  const std::vector<RecordedEvent> events = recorder.take();
  long long pressed = 0;
  long long restored = 0;
  for (const RecordedEvent& e : events) {
    if (e.kind == "press") pressed = e.time_ns;
    if (pressed != 0 && restored == 0 && e.kind.rfind("mapping", 0) == 0) restored = e.time_ns;
  }
  ASSERT_NE(pressed, 0);
  ASSERT_NE(restored, 0) << "the map was not put back";
  // The client decoded the key well before the key code changed back.
  EXPECT_GE(restored - pressed, 40'000'000LL);
  EXPECT_EQ(InputRecorder::typed(events), "\u00e9");
}

TEST(X11InputBackend, VanishingServerFailsTheActionNotTheProcess) {
  testing::XvfbServer server;
  ASSERT_TRUE(server.running());
  ScopedDisplay env(server.display());
  HookedClock clock;
  clock.on_sleep = [&](InputClock::Duration d) {
    if (d == std::chrono::milliseconds(5)) server.stop();
  };
  auto backend = make_input(clock);
  const Expected<std::monostate> done =
      input::execute_input_actions({action::TypeText{"\u0416"}, action::KeyTap{Key{KeyKind::Letter, 'a'}},
                                    action::SleepMs{5}, action::KeyTap{Key{KeyKind::Letter, 'b'}}},
                                   *backend);
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error(),
            "input_failed: KeyTap(Letter(98)): simulating input failed: (the connection to the X display was lost)");
}

}  // namespace
}  // namespace pelagon2::platform::x11
