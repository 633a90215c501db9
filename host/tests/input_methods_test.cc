// The three input methods over a scripted backend: parameter order and number
// rules, the compiled lists of every mouse event type, the empty-list rule,
// and the execution driver's messages, cleanup and pacing.

#include "input/input_methods.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "input/input_execution.h"
#include "input/printed_form.h"
#include "main/request_handler.h"

namespace pelagon2::input {
namespace {

using namespace std::chrono_literals;
namespace action = platform::action;

std::vector<std::string> printed(const platform::InputActionList& actions) {
  std::vector<std::string> out;
  for (const platform::InputAction& a : actions) out.push_back(printed_form(a));
  return out;
}

std::vector<std::string> compiled(Expected<platform::InputActionList> actions) {
  if (!actions) return {actions.error()};
  return printed(*actions);
}

Json params(const char* text) { return Json::parse(text); }

TEST(InputMethods, NumbersAsSigned64) {
  const std::pair<Json, std::optional<std::int64_t>> cases[] = {
      {Json(7), 7},
      {Json(-7), -7},
      {Json(std::numeric_limits<std::uint64_t>::max()), std::numeric_limits<std::int64_t>::max()},
      {Json(std::uint64_t{9223372036854775807u}), std::numeric_limits<std::int64_t>::max()},
      {Json(std::numeric_limits<std::int64_t>::min()), std::numeric_limits<std::int64_t>::min()},
      {Json(2.9), 2},
      {Json(-2.9), -2},
      {Json(-0.5), 0},
      {Json(1e300), std::numeric_limits<std::int64_t>::max()},
      {Json(-1e300), std::numeric_limits<std::int64_t>::min()},
      {Json(std::nan("")), 0},
      {Json("3"), std::nullopt},
      {Json(true), std::nullopt},
      {Json(nullptr), std::nullopt},
      {Json::array({1}), std::nullopt},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(number_as_int64(value), expected) << value.dump();
  EXPECT_EQ(low_32_bits(4294967296 + 5), 5);
  EXPECT_EQ(low_32_bits(2147483648), -2147483647 - 1);
  EXPECT_EQ(low_32_bits(-1), -1);
  EXPECT_EQ(low_32_bits(std::numeric_limits<std::int64_t>::max()), -1);
  EXPECT_EQ(low_32_bits(4294967296), 0);
}

struct MethodCase {
  const char* params;
  std::vector<std::string> expected;
};

TEST(InputMethods, MouseEventLists) {
  const MethodCase cases[] = {
      {R"({"type":0,"button":0,"x":10,"y":20})", {"MouseMove { x: 10, y: 20 }"}},
      {R"({"type":1,"button":0,"x":1,"y":2})", {"MouseMove { x: 1, y: 2 }", "ButtonDown(Left)"}},
      {R"({"type":2,"button":1,"x":1,"y":2})", {"MouseMove { x: 1, y: 2 }", "ButtonUp(Right)"}},
      {R"({"type":3,"button":2,"x":1,"y":2})", {"MouseMove { x: 1, y: 2 }", "ButtonDown(Middle)", "ButtonUp(Middle)"}},
      {R"({"type":4,"button":1,"x":0,"y":0})",
       {"MouseMove { x: 0, y: 0 }", "ButtonDown(Right)", "ButtonUp(Right)", "SleepMs(10)", "ButtonDown(Right)",
        "ButtonUp(Right)"}},
      {R"({"type":5,"button":0,"x":0,"y":0})",
       {"MouseMove { x: 0, y: 0 }", "ModifierDown(Ctrl)", "ButtonDown(Left)", "ButtonUp(Left)", "ModifierUp(Ctrl)"}},
      {R"({"type":6,"button":0,"x":0,"y":0})",
       {"MouseMove { x: 0, y: 0 }", "ModifierDown(Shift)", "ButtonDown(Left)", "ButtonUp(Left)", "ModifierUp(Shift)"}},
      {R"({"type":7,"button":0,"x":0,"y":0})",
       {"MouseMove { x: 0, y: 0 }", "ButtonDown(Left)", "ButtonUp(Left)", "ButtonDown(Left)", "ButtonUp(Left)",
        "ButtonDown(Left)", "ButtonUp(Left)"}},
      {R"({"type":2.9,"button":0,"x":-5.7,"y":4294967301})", {"MouseMove { x: -5, y: 5 }", "ButtonUp(Left)"}},
      {R"({"type":-0.5,"button":0.99,"x":2147483648,"y":1e300})", {"MouseMove { x: -2147483648, y: -1 }"}},
      // Errors, in parameter order.
      {R"({"type":-1,"button":0,"x":0,"y":0})", {"bad_params: 'type' out of range"}},
      {R"({"type":-1})", {"bad_params: 'type' out of range"}},
      {R"({"type":8,"button":0,"x":0,"y":0})", {"bad_params: unknown mouse event type 8"}},
      {R"({"type":18446744073709551615})", {"bad_params: unknown mouse event type 9223372036854775807"}},
      {R"({"type":0,"button":5,"x":0,"y":0})", {"bad_params: unknown mouse button 5"}},
      {R"({"type":0,"button":-3,"x":0,"y":0})", {"bad_params: 'button' out of range"}},
      {R"({"type":0,"x":0,"y":0})", {"bad_params: missing or non-numeric 'button'"}},
      {R"({"button":0,"x":0,"y":0})", {"bad_params: missing or non-numeric 'type'"}},
      {R"({"type":"1","button":0,"x":0,"y":0})", {"bad_params: missing or non-numeric 'type'"}},
      {R"({"type":0,"button":0,"y":0})", {"bad_params: missing or non-numeric 'x'"}},
      {R"({"type":0,"button":0,"x":null,"y":"0"})", {"bad_params: missing or non-numeric 'x'"}},
      {R"({"type":0,"button":0,"x":0})", {"bad_params: missing or non-numeric 'y'"}},
      {R"([0,0,0,0])", {"bad_params: missing or non-numeric 'type'"}},
      {R"(null)", {"bad_params: missing or non-numeric 'type'"}},
  };
  for (const MethodCase& c : cases) EXPECT_EQ(compiled(mouse_event_actions(params(c.params))), c.expected) << c.params;
}

TEST(InputMethods, WheelAndTextLists) {
  const MethodCase wheel[] = {
      {R"({"deltaX":3,"deltaY":0})", {"WheelVertical(3)"}},
      {R"({"deltaX":0,"deltaY":-2})", {"WheelHorizontal(-2)"}},
      {R"({"deltaX":-1.9,"deltaY":2})", {"WheelVertical(-1)", "WheelHorizontal(2)"}},
      {R"({"deltaX":0,"deltaY":0})", {}},
      {R"({"deltaX":0.4,"deltaY":-0.9})", {}},
      {R"({"deltaX":4294967296,"deltaY":0})", {}},
      {R"({"deltaX":2147483648,"deltaY":0})", {"WheelVertical(-2147483648)"}},
      {R"({"deltaY":0})", {"bad_params: missing or non-numeric 'deltaX'"}},
      {R"({"deltaX":true,"deltaY":0})", {"bad_params: missing or non-numeric 'deltaX'"}},
      {R"({"deltaX":0})", {"bad_params: missing or non-numeric 'deltaY'"}},
  };
  for (const MethodCase& c : wheel) EXPECT_EQ(compiled(mouse_wheel_actions(params(c.params))), c.expected) << c.params;
  const MethodCase text[] = {
      {R"({"text":""})", {}},
      {R"({"text":"a${KEY_TAB}"})", {"TypeText(\"a\")", "KeyTap(Tab)"}},
      {R"({"text":"${KEY_Q+KEY_W}"})", {"bad_key: more than one non-modifier key in '${KEY_Q+KEY_W}'"}},
      {R"({"text":5})", {"bad_params: missing 'text'"}},
      {R"({"text":null})", {"bad_params: missing 'text'"}},
      {R"({})", {"bad_params: missing 'text'"}},
      {R"("text")", {"bad_params: missing 'text'"}},
  };
  for (const MethodCase& c : text) EXPECT_EQ(compiled(text_actions(params(c.params))), c.expected) << c.params;
}

TEST(InputMethods, EmptyListsNeverReachTheBackend) {
  testing::FakePlatform platform;
  platform.input_fake().open_error =
      "input_backend_unavailable: the application does not have the permission to simulate input";
  for (const auto& [method, p] : {std::pair{"send_text", R"({"text":""})"},
                                  std::pair{"send_mouse_wheel_event", R"({"deltaX":0,"deltaY":4294967296})"}}) {
    const Outcome outcome = dispatch_method(method, params(p), platform);
    ASSERT_TRUE(outcome.ok()) << method;
    EXPECT_EQ(outcome.value(), Json(true));
  }
  EXPECT_EQ(platform.input_fake().opens, 0);
  // A parameter or key error is found before the backend is asked.
  EXPECT_EQ(dispatch_method("send_text", params(R"({"text":"ok ${KEY_NOPE}"})"), platform).error(),
            "bad_key: unknown key 'KEY_NOPE' in '${KEY_NOPE}'");
  EXPECT_EQ(dispatch_method("send_mouse_event", params(R"({"type":3,"button":3,"x":0,"y":0})"), platform).error(),
            "bad_params: unknown mouse button 3");
  EXPECT_EQ(platform.input_fake().opens, 0);
  // A non-empty list reports the backend's refusal unchanged.
  EXPECT_EQ(dispatch_method("send_mouse_wheel_event", params(R"({"deltaX":1,"deltaY":0})"), platform).error(),
            "input_backend_unavailable: the application does not have the permission to simulate input");
  EXPECT_EQ(platform.input_fake().opens, 1);
}

TEST(InputMethods, ActionsReachTheBackendInOrder) {
  testing::FakePlatform platform;
  const Outcome outcome = dispatch_method("send_text", params(R"({"text":"Hi${KEY_CTRL+KEY_A}"})"), platform);
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ(outcome.value(), Json(true));
  EXPECT_EQ(
      printed(platform.input_fake().performed),
      (std::vector<std::string>{"TypeText(\"Hi\")", "ModifierDown(Ctrl)", "KeyTap(Letter(97))", "ModifierUp(Ctrl)"}));
  EXPECT_EQ(platform.input_fake().opens, 1);
}

TEST(InputExecution, FailingActionIsNamedAndCleanupStillRuns) {
  testing::FakeInputBackend backend;
  backend.fail_at = 2;
  backend.fail_message = "simulating input failed: (failed creating event to enter mouse button)";
  const platform::InputActionList actions = {action::MouseMove{3, 4}, action::ModifierDown{platform::Modifier::Ctrl},
                                             action::ButtonDown{platform::MouseButton::Left},
                                             action::ButtonUp{platform::MouseButton::Left}};
  const Done done = execute_input_actions(actions, backend);
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error(),
            "input_failed: ButtonDown(Left): simulating input failed: (failed creating event to enter "
            "mouse button)");
  EXPECT_EQ(backend.performed.size(), 2u);  // nothing after the failing action
  // Held keys are released, then the pacing wait (two events posted), then close.
  EXPECT_EQ(backend.log,
            (std::vector<std::string>{"perform", "perform", "perform", "release", "sleep 40000000", "close"}));
}

TEST(InputExecution, PacingWaitsTwentyMillisecondsPerEventOnce) {
  struct Case {
    int events_per_action;
    std::chrono::milliseconds time_per_action;
    std::size_t actions;
    std::vector<std::chrono::nanoseconds> sleeps;
  };
  const Case cases[] = {
      {1, 0ms, 3, {60ms}},                     // a burst: n × 20 ms after the first event
      {2, 0ms, 1, {40ms}},  {1, 30ms, 3, {}},  // events spaced wider than 20 ms leave nothing to wait
      {1, 15ms, 4, {20ms}},                    // 4 events from t=0 end at 80 ms; the run ends at 60 ms
      {0, 0ms, 2, {}},                         // nothing posted: no wait
  };
  for (const Case& c : cases) {
    testing::FakeInputBackend backend;
    backend.events_per_action = c.events_per_action;
    backend.time_per_action = c.time_per_action;
    const platform::InputActionList actions(c.actions, action::WheelVertical{1});
    ASSERT_TRUE(execute_input_actions(actions, backend).ok());
    EXPECT_EQ(backend.fake_clock.sleeps, c.sleeps) << c.events_per_action << " " << c.time_per_action.count();
  }
}

TEST(InputTiming, PointerArrivalChecksAHundredTimes) {
  testing::FakeClock clock;
  struct Case {
    std::vector<platform::PointerPosition> positions;  // the last repeats
    bool arrived;
    std::size_t reads;
  };
  const Case cases[] = {
      {{{100, 200}}, true, 1},    {{{102, 198}}, true, 1},  // within 2 points on both axes
      {{{103, 200}}, false, 100}, {{{100, 197}}, false, 100}, {{{0, 0}, {0, 0}, {101, 201}}, true, 3},
  };
  for (const Case& c : cases) {
    std::size_t reads = 0;
    clock.sleeps.clear();
    const bool arrived = platform::wait_for_pointer_arrival(clock, 100, 200, [&] {
      const auto& p = c.positions[std::min(reads, c.positions.size() - 1)];
      ++reads;
      return std::optional<platform::PointerPosition>(p);
    });
    EXPECT_EQ(arrived, c.arrived);
    EXPECT_EQ(reads, c.reads);
    EXPECT_EQ(clock.sleeps.size(), c.reads - 1);
    for (const auto& s : clock.sleeps) EXPECT_EQ(s, 1ms);
  }
  // Extreme targets do not overflow the distance.
  EXPECT_FALSE(platform::wait_for_pointer_arrival(clock, std::numeric_limits<std::int32_t>::min(), 0, [] {
    return std::optional<platform::PointerPosition>({std::numeric_limits<std::int32_t>::max(), 0});
  }));
  // A pointer that cannot be read (display gone) ends the wait at once.
  std::size_t reads = 0;
  EXPECT_FALSE(platform::wait_for_pointer_arrival(clock, 0, 0, [&] {
    ++reads;
    return std::optional<platform::PointerPosition>();
  }));
  EXPECT_EQ(reads, 1u);
}

}  // namespace
}  // namespace pelagon2::input
