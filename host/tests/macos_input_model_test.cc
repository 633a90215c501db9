// The macOS input model against a recording sink: the event types, fields,
// flags and key codes it posts for every action, click counting, text
// chunking, the layout lookup of character keys, creation failures and the
// cleanup after a failing action.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "fakes/fake_mac_event_sink.h"
#include "input/input_execution.h"
#include "input/input_methods.h"
#include "input/key_sequence.h"

namespace pelagon2::platform::macos {
namespace {

using namespace std::chrono_literals;
namespace action = platform::action;
using Kind = MacEvent::Kind;

std::string hex(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%#llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string utf8_of(const std::u16string& s) {
  std::string out;
  for (const char16_t c : s) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out += "<" + hex(c) + ">";
    }
  }
  return out;
}

// One line per event with every field the model sets; the user-data field is
// checked separately and left out here.
std::string describe(const MacEvent& e) {
  std::string fields;
  bool first = true;
  for (const auto& [field, value] : e.fields) {
    if (first) {
      first = false;
      if (field == kFieldUserData && value == kUserData) continue;
      return "user data missing";
    }
    fields += " " + std::to_string(field) + "=" + std::to_string(value);
  }
  switch (e.kind) {
    case Kind::mouse:
      return "mouse " + std::to_string(e.mouse_type) + " at " + std::to_string(static_cast<long>(e.x)) + "," +
             std::to_string(static_cast<long>(e.y)) + " button " + std::to_string(e.mouse_button) + " flags " +
             hex(e.flags) + fields;
    case Kind::keyboard:
      if (e.unicode) {
        return "text \"" + utf8_of(*e.unicode) + "\" code " + std::to_string(e.key_code) +
               (e.key_down ? " down" : " up") + " flags " + hex(e.flags) + fields;
      }
      return "key " + std::to_string(e.key_code) + (e.key_down ? " down" : " up") + " flags " + hex(e.flags) + fields;
    case Kind::scroll:
      return "scroll " + std::to_string(e.wheel_count) + ": " + std::to_string(e.wheel1) + " " +
             std::to_string(e.wheel2) + " " + std::to_string(e.wheel3) + " flags " + hex(e.flags) + fields;
  }
  return "?";
}

class MacInputModel : public ::testing::Test {
 protected:
  MacInputModel() {
    system.clock = &clock;
    // A US layout fragment: 'a' is code 0, ',' code 43, '1' code 18 ('!' shifted).
    system.translations[{0, kPlainModifierState}] = u"a";
    system.translations[{0, kShiftModifierState}] = u"A";
    system.translations[{43, kPlainModifierState}] = u",";
    system.translations[{18, kPlainModifierState}] = u"1";
    system.translations[{18, kShiftModifierState}] = u"!";
  }

  Done run(const platform::InputActionList& actions) {
    auto backend = system.backend(clock);
    return input::execute_input_actions(actions, *backend);
  }
  Done type(std::string_view text) {
    Expected<platform::InputActionList> actions = input::compile_key_sequence(text);
    EXPECT_TRUE(actions.ok());
    return run(*actions);
  }
  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const MacEvent& e : system.posted) out.push_back(describe(e));
    return out;
  }

  testing::FakeClock clock;
  testing::FakeMacSystem system;
};

TEST_F(MacInputModel, CreationChecksPermissionThenSource) {
  system.trusted = false;
  EXPECT_EQ(run({action::MouseMove{1, 2}}).error(),
            "input_backend_unavailable: the application does not have the permission to simulate input");
  EXPECT_EQ(system.calls, std::vector<std::string>{"trusted"});
  system.trusted = true;
  system.source_created = false;
  system.calls.clear();
  EXPECT_EQ(run({action::MouseMove{1, 2}}).error(),
            "input_backend_unavailable: no connection could be established: (failed creating event source)");
  EXPECT_EQ(system.calls, (std::vector<std::string>{"trusted", "interval", "source"}));
  EXPECT_TRUE(system.posted.empty());
  // An empty list asks nothing at all.
  system.calls.clear();
  EXPECT_TRUE(run({}).ok());
  EXPECT_TRUE(system.calls.empty());
}

TEST_F(MacInputModel, MouseMoveTypesDeltasAndArrival) {
  struct Case {
    std::uint64_t pressed;
    std::string event;
  };
  // Pointer at (30, 40) top-left: location (30, 860) with a 900-point main display.
  const Case cases[] = {
      {0, "mouse 5 at 10,20 button 0 flags 0x20000100 4=20 5=20"},
      {1, "mouse 6 at 10,20 button 0 flags 0x20000100 4=20 5=20"},
      {3, "mouse 6 at 10,20 button 0 flags 0x20000100 4=20 5=20"},
      {2, "mouse 7 at 10,20 button 1 flags 0x20000100 4=20 5=20"},
      {4, "mouse 5 at 10,20 button 0 flags 0x20000100 4=20 5=20"},
  };
  for (const Case& c : cases) {
    system.posted.clear();
    system.location = {30.9, 860.0};
    system.pressed_buttons = c.pressed;
    ASSERT_TRUE(run({action::MouseMove{10, 20}}).ok());
    EXPECT_EQ(events(), std::vector<std::string>{c.event}) << c.pressed;
  }
  // Arrived at once: no polling, only the pacing wait of one event per request.
  EXPECT_EQ(clock.sleeps, std::vector<Clock::Duration>(5, 20ms));
  // A pointer that never arrives is checked 100 times, 1 ms apart, and is no
  // error; the polling outlasts the pacing wait.
  clock.sleeps.clear();
  system.pointer_follows = false;
  system.location = {500, 500};
  ASSERT_TRUE(run({action::MouseMove{10, 20}}).ok());
  EXPECT_EQ(clock.sleeps, std::vector<Clock::Duration>(99, 1ms));
}

TEST_F(MacInputModel, ButtonsAtThePointerWithClickCounts) {
  system.location = {100.7, 800};  // top-left (100, 100)
  system.pointer_follows = false;  // buttons go where the pointer is, not where it was sent
  ASSERT_TRUE(run({action::MouseMove{5, 5}, action::ButtonDown{MouseButton::Left}, action::ButtonUp{MouseButton::Left},
                   action::ButtonDown{MouseButton::Right}, action::ButtonUp{MouseButton::Right},
                   action::ButtonDown{MouseButton::Middle}, action::ButtonUp{MouseButton::Middle}})
                  .ok());
  const std::vector<std::string> expected = {
      "mouse 5 at 5,5 button 0 flags 0x20000100 4=95 5=95",    "mouse 1 at 100,100 button 0 flags 0x20000100 1=1",
      "mouse 2 at 100,100 button 0 flags 0x20000100 1=1",      "mouse 3 at 100,100 button 1 flags 0x20000100 1=1",
      "mouse 4 at 100,100 button 1 flags 0x20000100 1=1",      "mouse 25 at 100,100 button 2 flags 0x20000100 3=2 1=1",
      "mouse 26 at 100,100 button 2 flags 0x20000100 3=2 1=1",
  };
  EXPECT_EQ(events(), expected);
}

TEST_F(MacInputModel, ClickCountsOfDoubleAndTripleClicks) {
  struct Case {
    int type;
    double interval;
    Clock::Duration per_post;
    std::vector<std::int64_t> counts;
  };
  const Case cases[] = {
      {4, 0.5, 0ms, {1, 1, 2, 2}},         {7, 0.5, 0ms, {1, 1, 2, 2, 3, 3}},
      {4, 0.0, 0ms, {1, 1, 1, 1}},         {4, 0.015, 0ms, {1, 1, 2, 2}},  // the 10 ms pause is within 15 ms
      {4, 0.025, 10ms, {1, 1, 1, 1}},                                      // posts take 10 ms each: presses 30 ms apart
      {7, 0.025, 5ms, {1, 1, 2, 2, 3, 3}},
  };
  for (const Case& c : cases) {
    system.posted.clear();
    system.double_click_interval = c.interval;
    system.time_per_post = c.per_post;
    const Json params = {{"type", c.type}, {"button", 0}, {"x", 0}, {"y", 0}};
    ASSERT_TRUE(run(*input::mouse_event_actions(params)).ok());
    std::vector<std::int64_t> counts;
    for (const MacEvent& e : system.posted) {
      if (e.kind == Kind::mouse && e.mouse_type != kMouseMoved) counts.push_back(e.fields.back().second);
    }
    EXPECT_EQ(counts, c.counts) << c.type << " " << c.interval;
  }
}

TEST_F(MacInputModel, KeyCombinationsTrackModifierFlags) {
  ASSERT_TRUE(type("${KEY_SHIFT+KEY_A}").ok());
  EXPECT_EQ(events(), (std::vector<std::string>{"key 56 down flags 0x20020102", "key 0 down flags 0x20020102",
                                                "key 0 up flags 0x20020102", "key 56 up flags 0x20000100"}));
  system.posted.clear();
  ASSERT_TRUE(type("${KEY_CTRL+KEY_ALT+KEY_CMD+KEY_UP}").ok());
  EXPECT_EQ(events(), (std::vector<std::string>{
                          "key 59 down flags 0x20040101",
                          "key 58 down flags 0x200c0121",
                          "key 55 down flags 0x201c0129",
                          "key 126 down flags 0x20bc0129",
                          "key 126 up flags 0x201c0129",
                          "key 59 up flags 0x20180128",  // released in press order
                          "key 58 up flags 0x20100108",
                          "key 55 up flags 0x20000100",
                      }));
}

TEST_F(MacInputModel, FixedKeyCodesAndFlagBits) {
  struct Case {
    const char* token;
    std::uint16_t code;
    std::uint64_t bits;
  };
  const Case cases[] = {
      {"KEY_UP", 126, 0xa00000},    {"KEY_DOWN", 125, 0xa00000}, {"KEY_LEFT", 123, 0xa00000},
      {"KEY_RIGHT", 124, 0xa00000}, {"KEY_PGUP", 116, 0x800000}, {"KEY_PGDN", 121, 0x800000},
      {"KEY_BKSP", 51, 0},          {"KEY_DEL", 117, 0x800000},  {"KEY_ENTER", 36, 0},
      {"KEY_TAB", 48, 0},           {"KEY_ESC", 53, 0},          {"KEY_HOME", 115, 0x800000},
      {"KEY_END", 119, 0x800000},   {"KEY_SPACE", 49, 0},        {"KEY_F1", 122, 0x800000},
      {"KEY_F2", 120, 0x800000},    {"KEY_F3", 99, 0x800000},    {"KEY_F4", 118, 0x800000},
      {"KEY_F5", 96, 0x800000},     {"KEY_F6", 97, 0x800000},    {"KEY_F7", 98, 0x800000},
      {"KEY_F8", 100, 0x800000},    {"KEY_F9", 101, 0x800000},   {"KEY_F10", 109, 0x800000},
      {"KEY_F11", 103, 0x800000},   {"KEY_F12", 111, 0x800000},  {"KEY_F13", 105, 0x800000},
      {"KEY_F14", 107, 0x800000},   {"KEY_F15", 113, 0x800000},
  };
  for (const Case& c : cases) {
    system.posted.clear();
    ASSERT_TRUE(type(std::string("${") + c.token + "}").ok());
    const std::string code = std::to_string(c.code);
    EXPECT_EQ(events(), (std::vector<std::string>{"key " + code + " down flags " + hex(kInitialFlags | c.bits),
                                                  "key " + code + " up flags " + hex(kInitialFlags)}))
        << c.token;
  }
}

TEST_F(MacInputModel, CharacterKeysComeFromTheLayout) {
  struct Case {
    const char* token;
    std::uint16_t code;
  };
  system.translations[{47, kShiftModifierState}] = u",";  // a later code giving ',' shifted wins
  system.translations[{27, kPlainModifierState}] = u"-";
  system.failing_translations.push_back({18, kPlainModifierState});  // '1' then only found shifted… nowhere
  const Case cases[] = {{"KEY_A", 0}, {"KEY_COMMA", 47}, {"KEY_MINUS", 27}, {"KEY_1", 0}, {"KEY_PERIOD", 0}};
  for (const Case& c : cases) {
    system.posted.clear();
    ASSERT_TRUE(type(std::string("${") + c.token + "}").ok());
    ASSERT_EQ(system.posted.size(), 2u);
    EXPECT_EQ(system.posted[0].key_code, c.code) << c.token;
  }
  // The current keyboard source without layout data falls back in order.
  system.layout_available = {false, false, true};
  system.calls.clear();
  system.posted.clear();
  ASSERT_TRUE(type("${KEY_A}").ok());
  EXPECT_EQ(system.selected_layout, 2u);
  EXPECT_EQ(system.posted[0].key_code, 0);
  const std::vector<std::string> tried(system.calls.end() - 3, system.calls.end());
  EXPECT_EQ(tried, (std::vector<std::string>{"layout 0", "layout 1", "layout 2"}));
  system.layout_available = {false, false, false};
  system.posted.clear();
  system.translations[{9, kPlainModifierState}] = u"v";
  ASSERT_TRUE(type("${KEY_V}").ok());
  EXPECT_EQ(system.posted[0].key_code, 0);  // no layout: code 0
}

TEST_F(MacInputModel, TextInChunksOfTwentyWithLeadingSpecials) {
  const std::string forty_five(45, 'x');
  struct Case {
    std::string text;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {forty_five,
       {"text \"" + std::string(20, 'x') + "\" code 0 down flags 0",
        "text \"" + std::string(20, 'x') + "\" code 0 down flags 0", "text \"xxxxx\" code 0 down flags 0"}},
      {"\nabc", {"text \"<0x200b>\n\" code 0 down flags 0", "text \"abc\" code 0 down flags 0"}},
      {"ab\ncd\r", {"text \"ab\ncd\r\" code 0 down flags 0"}},
      {"\r\n\tz\t",
       {"text \"<0x200b>\r\" code 0 down flags 0", "text \"<0x200b>\n\" code 0 down flags 0",
        "key 48 down flags 0x20000100", "key 48 up flags 0x20000100", "text \"z\t\" code 0 down flags 0"}},
      {"\t\r",
       {"key 48 down flags 0x20000100", "key 48 up flags 0x20000100", "text \"<0x200b>\r\" code 0 down flags 0",
        "text \"\" code 0 down flags 0"}},
      // 19 letters then a line feed: the second chunk begins with it.
      {std::string(20, 'y') + "\nq",
       {"text \"" + std::string(20, 'y') + "\" code 0 down flags 0", "text \"<0x200b>\n\" code 0 down flags 0",
        "text \"q\" code 0 down flags 0"}},
  };
  for (const Case& c : cases) {
    system.posted.clear();
    ASSERT_TRUE(run({action::TypeText{c.text}}).ok());
    EXPECT_EQ(events(), c.events) << c.text;
  }
}

TEST_F(MacInputModel, TextCountsScalarValuesAndSendsUtf16) {
  // 21 emoji: 20 in the first event (40 UTF-16 units), one in the second.
  std::string text;
  for (int i = 0; i < 21; ++i) text += "\U0001F642";
  ASSERT_TRUE(run({action::TypeText{text}}).ok());
  ASSERT_EQ(system.posted.size(), 2u);
  EXPECT_EQ(system.posted[0].unicode->size(), 40u);
  EXPECT_EQ(system.posted[1].unicode, std::u16string(u"\U0001F642"));
  EXPECT_EQ((*system.posted[0].unicode)[0], 0xD83D);
  EXPECT_EQ((*system.posted[0].unicode)[1], 0xDE42);
  system.posted.clear();
  ASSERT_TRUE(run({action::TypeText{"\u00e9\u20ac\u0416\u65e5"}}).ok());
  EXPECT_EQ(system.posted.at(0).unicode, std::u16string(u"\u00e9\u20ac\u0416\u65e5"));
  // Text is sent with flags 0 even while a modifier is held.
  system.posted.clear();
  ASSERT_TRUE(
      run({action::ModifierDown{Modifier::Shift}, action::TypeText{"k"}, action::ModifierUp{Modifier::Shift}}).ok());
  EXPECT_EQ(events(), (std::vector<std::string>{"key 56 down flags 0x20020102", "text \"k\" code 0 down flags 0",
                                                "key 56 up flags 0x20000100"}));
  // An empty text sends nothing.
  system.posted.clear();
  ASSERT_TRUE(run({action::TypeText{""}}).ok());
  EXPECT_TRUE(system.posted.empty());
}

TEST_F(MacInputModel, WheelValuesAreNegated) {
  ASSERT_TRUE(
      run({action::WheelVertical{3}, action::WheelHorizontal{-2}, action::WheelVertical{-2147483647 - 1}}).ok());
  EXPECT_EQ(events(), (std::vector<std::string>{"scroll 1: -3 0 0 flags 0x20000100", "scroll 2: 0 2 0 flags 0x20000100",
                                                "scroll 1: 2147483647 0 0 flags 0x20000100"}));
}

TEST_F(MacInputModel, EveryEventCarriesTheUserData) {
  ASSERT_TRUE(type("ab${KEY_CTRL+KEY_A}\n").ok());
  ASSERT_TRUE(run({action::MouseMove{1, 1}, action::ButtonDown{MouseButton::Middle}, action::WheelVertical{1}}).ok());
  ASSERT_GE(system.posted.size(), 8u);
  for (const MacEvent& e : system.posted) {
    ASSERT_FALSE(e.fields.empty());
    EXPECT_EQ(e.fields.front(), (std::pair<std::uint32_t, std::int64_t>{kFieldUserData, 100}));
  }
}

TEST_F(MacInputModel, FailuresNameTheActionAndReleaseHeldKeys) {
  struct Case {
    std::function<bool(const MacEvent&)> refuse;
    platform::InputActionList actions;
    std::string error;
    std::vector<std::string> events;
  };
  const auto mouse_buttons = [](const MacEvent& e) { return e.kind == Kind::mouse && e.mouse_type != kMouseMoved; };
  const Case cases[] = {
      {mouse_buttons,
       *input::mouse_event_actions(Json{{"type", 5}, {"button", 0}, {"x", 0}, {"y", 0}}),
       "input_failed: ButtonDown(Left): simulating input failed: (failed creating event to enter mouse button)",
       {"mouse 5 at 0,0 button 0 flags 0x20000100 4=0 5=0", "key 59 down flags 0x20040101",
        "key 59 up flags 0x20000100"}},
      {[](const MacEvent& e) { return e.kind == Kind::keyboard && !e.key_down; },
       {action::KeyTap{Key{KeyKind::Enter}}, action::TypeText{"never"}},
       "input_failed: KeyTap(Enter): simulating input failed: (failed creating event to release the key)",
       {"key 36 down flags 0x20000100"}},
      {[](const MacEvent& e) { return e.kind == Kind::keyboard && e.key_down && !e.unicode; },
       {action::ModifierDown{Modifier::Meta}},
       "input_failed: ModifierDown(Meta): simulating input failed: (failed creating event to press the key)",
       {}},
      {[](const MacEvent& e) { return e.kind == Kind::mouse; },
       {action::MouseMove{-3, 4}},
       "input_failed: MouseMove { x: -3, y: 4 }: simulating input failed: (failed creating event to move the mouse)",
       {}},
      {[](const MacEvent& e) { return e.kind == Kind::scroll; },
       {action::WheelHorizontal{1}},
       "input_failed: WheelHorizontal(1): simulating input failed: (failed creating event to scroll)",
       {}},
      {[](const MacEvent& e) { return e.unicode.has_value(); },
       {action::ModifierDown{Modifier::Alt}, action::TypeText{"a\tb"}},
       "input_failed: TypeText(\"a\\tb\"): simulating input failed: (failed creating event to enter the text)",
       {"key 58 down flags 0x20080120", "key 58 up flags 0x20000100"}},
  };
  for (const Case& c : cases) {
    system.posted.clear();
    system.refused.clear();
    system.refuse = c.refuse;
    system.location = {0, 900};
    const Done done = run(c.actions);
    ASSERT_FALSE(done.ok());
    EXPECT_EQ(done.error(), c.error);
    EXPECT_EQ(events(), c.events) << c.error;
  }
  // The key whose release failed is released again when the backend finishes.
  system.refused.clear();
  system.refuse = [](const MacEvent& e) { return e.kind == Kind::keyboard && !e.key_down; };
  ASSERT_FALSE(run({action::KeyTap{Key{KeyKind::Escape}}}).ok());
  ASSERT_EQ(system.refused.size(), 2u);
  EXPECT_EQ(describe(system.refused[1]), "key 53 up flags 0x20000100");
}

TEST_F(MacInputModel, PacingCountsPostedEvents) {
  // Five key events in a burst: the reply waits until 100 ms after the first.
  ASSERT_TRUE(type("${KEY_SHIFT+KEY_A}x").ok());
  ASSERT_EQ(system.posted.size(), 5u);
  EXPECT_EQ(clock.sleeps, std::vector<Clock::Duration>{100ms});
  // The 10 ms pause of a double click counts toward the wait.
  clock.sleeps.clear();
  ASSERT_TRUE(run(*input::mouse_event_actions(Json{{"type", 4}, {"button", 0}, {"x", 0}, {"y", 900}})).ok());
  EXPECT_EQ(clock.sleeps, (std::vector<Clock::Duration>{10ms, 90ms}));
}

}  // namespace
}  // namespace pelagon2::platform::macos
