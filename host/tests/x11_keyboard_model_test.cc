// The X11 input session model against a scripted keyboard that decodes what
// it is sent as an application would: exact text for every kind of character
// (borrowed key codes included, in their own case, under Caps Lock and in a
// group without Latin letters), recycling of borrowed codes only after the
// settle time, one request per batch of borrowed codes, pacing per chunk of
// text, pointer targets kept on the root window, and failures that leave no
// key held and the map as it was.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fakes/fake_x11_keyboard.h"
#include "input/input_execution.h"

namespace pelagon2::platform::x11 {
namespace {

using namespace std::chrono_literals;
using testing::FakeX11System;
namespace action = platform::action;

class X11KeyboardModel : public ::testing::Test {
 protected:
  void use(FakeX11System s) {
    system = std::move(s);
    system.clock = &clock;
    original_map = system.core_map();
    backend = system.backend(clock);
  }
  void SetUp() override { use(FakeX11System::us()); }

  Done run(const InputActionList& actions) { return input::execute_input_actions(actions, *backend); }

  // What every request must leave: no key down, the map as found, no code
  // changed before applications had decoded it.
  void expect_clean(const std::string& context) {
    EXPECT_TRUE(system.down.empty()) << context;
    EXPECT_EQ(system.core_map(), original_map) << context;
    EXPECT_EQ(system.violations, std::vector<std::string>{}) << context;
  }

  std::size_t count(const std::string& prefix) const {
    std::size_t n = 0;
    for (const std::string& line : system.log) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  testing::FakeClock clock;
  FakeX11System system;
  std::vector<KeySym> original_map;
  std::unique_ptr<InputBackend> backend;
};

TEST_F(X11KeyboardModel, TextArrivesExactlyInEveryKeyboardState) {
  struct Case {
    const char* name;
    bool caps_locked;
    bool russian_group;
    std::string text;
  };
  const std::string letters = "\u00c9\u00e9 \u00d6\u00f6 \u00d1\u00f1 \u00d8\u00f8 \u00de\u00fe";  // Latin-1
  const std::string extended = "\u0141\u0142 \u0150\u0151 \u017d\u017e \u01cd\u01ce";      // Latin Extended-A/B
  const std::string greek = "\u03a9\u03c9 \u03a3\u03c3 \u0394\u03b4";
  const std::string cyrillic = "\u0416\u0436 \u042f\u044f \u0401\u0451";
  const std::string other = "\u20ac \u65e5\u672c \U0001F642 \u00df \u00b5 \u00ff";
  const Case cases[] = {
      {"ascii", false, false, "Hello, World! 1234567890 ;:-_/?<>\\|"},
      {"latin-1", false, false, letters},
      {"latin extended", false, false, extended},
      {"greek", false, false, greek},
      {"cyrillic", false, false, cyrillic},
      {"level 3, unicode, controls", false, false, other + "\ta\nb\rc"},
      {"ascii under caps lock", true, false, "Hello, World! aAzZ"},
      {"letters under caps lock", true, false, letters + extended + greek + cyrillic},
      {"latin in a cyrillic group", false, true, "Hello, World! AZaz"},
      {"latin in a cyrillic group under caps lock", true, true, "Hello, World! " + letters},
  };
  for (const Case& c : cases) {
    FakeX11System s = FakeX11System::us(c.russian_group);
    if (c.caps_locked) s.locked_mods = kLockMask;
    if (c.russian_group) s.locked_group = 1;
    use(std::move(s));
    ASSERT_TRUE(run({action::TypeText{c.text}}).ok()) << c.name;
    std::string expected = c.text;
    for (char& ch : expected) ch = ch == '\r' ? '\n' : ch;
    EXPECT_EQ(system.typed_utf8(), expected) << c.name;
    EXPECT_EQ(system.locked_mods & kLockMask, c.caps_locked ? kLockMask : 0u) << c.name << ": Caps Lock as found";
    expect_clean(c.name);
  }
}

TEST_F(X11KeyboardModel, CapsLockIsLiftedOnlyAroundBorrowedCasedCharacters) {
  FakeX11System s = FakeX11System::us();
  s.locked_mods = kLockMask;
  use(std::move(s));
  ASSERT_TRUE(run({action::TypeText{"a\u00e9\u00e8b\u65e5c"}}).ok());
  EXPECT_EQ(system.typed_utf8(), "a\u00e9\u00e8b\u65e5c");
  // é and è together, then back on before b; the ideograph has no case.
  EXPECT_EQ(count("caps off"), 1u);
  EXPECT_EQ(count("caps on"), 1u);
  expect_clean("caps");
}

TEST_F(X11KeyboardModel, ABatchOfBorrowedCodesChangesInOneRequest) {
  struct Case {
    const char* name;
    bool xkb;
    std::vector<std::uint8_t> spare;
    std::size_t requests;  // lending and putting back
  };
  const Case cases[] = {
      {"adjacent codes", true, {200, 201, 202, 203, 204}, 2},
      {"scattered codes", true, {93, 97, 120, 200, 230}, 2},
      {"adjacent codes without XKB", false, {200, 201, 202, 203, 204}, 2},
      {"scattered codes without XKB", false, {93, 97, 120, 200, 230}, 10},
  };
  const std::string text = "\u0416\u0436\u042f\u044f\u0401 ok \u0416\u0436";
  for (const Case& c : cases) {
    FakeX11System s = FakeX11System::us();
    s.has_xkb = c.xkb;
    s.occupy(8, 255);
    for (const std::uint8_t code : c.spare) s.keys.erase(code);
    use(std::move(s));
    ASSERT_TRUE(run({action::TypeText{text}}).ok()) << c.name;
    EXPECT_EQ(system.typed_utf8(), text) << c.name;
    EXPECT_EQ(system.remap_requests, c.requests) << c.name;
    expect_clean(c.name);
  }
}

TEST_F(X11KeyboardModel, RecycledCodesWaitForTheSettleTime) {
  struct Case {
    int spare;
    std::u32string distinct;
    int repeats;
  };
  const Case cases[] = {
      {1, U"\u0416\u0436\u042f", 2},
      {3, U"\u0391\u0392\u0393\u0394\u0395\u0396\u0397", 3},
      {4, U"\u00c0\u00c1\u00c2\u00c3\u00c4\u00c5\u00c6\u00c7\u00c8\u00c9", 1},
  };
  for (const Case& c : cases) {
    FakeX11System s = FakeX11System::us();
    s.occupy(8, static_cast<std::uint8_t>(255 - c.spare));
    use(std::move(s));
    std::string text;
    for (int r = 0; r < c.repeats; ++r) {
      for (const char32_t ch : c.distinct) FakeX11System::append_utf8(text, ch);
      text += "x";
    }
    ASSERT_TRUE(run({action::TypeText{text}}).ok()) << text;
    EXPECT_EQ(system.typed_utf8(), text);
    expect_clean(text);
    // Every change after the first lending waited for the settle time.
    const std::size_t batches = (c.distinct.size() * static_cast<std::size_t>(c.repeats) + c.spare - 1) / c.spare;
    EXPECT_GE(clock.time - std::chrono::seconds(1000), (batches - 1) * kRemapSettle) << text;
  }
}

TEST_F(X11KeyboardModel, TextIsPacedPerChunkOtherEventsEach) {
  struct Case {
    InputActionList actions;
    Clock::Duration wait;  // the pacing wait at the end
  };
  const Case cases[] = {
      {{action::TypeText{"a"}}, 20ms},
      {{action::TypeText{std::string(20, 'a')}}, 20ms},
      {{action::TypeText{std::string(21, 'A')}}, 40ms},
      {{action::TypeText{std::string(200, 'a')}}, 200ms},
      {{action::KeyTap{Key{KeyKind::Letter, 'a'}}}, 40ms},
      {{action::ModifierDown{Modifier::Ctrl}, action::KeyTap{Key{KeyKind::Letter, 'a'}},
        action::ModifierUp{Modifier::Ctrl}},
       80ms},
      {{action::WheelVertical{3}}, 120ms},
      {{action::MouseMove{5, 5}, action::ButtonDown{MouseButton::Left}, action::ButtonUp{MouseButton::Left}}, 60ms},
  };
  for (const Case& c : cases) {
    use(FakeX11System::us());
    clock.sleeps.clear();
    ASSERT_TRUE(run(c.actions).ok());
    ASSERT_FALSE(clock.sleeps.empty());
    EXPECT_EQ(clock.sleeps.back(), c.wait) << c.actions.size();
  }
}

TEST_F(X11KeyboardModel, PointerTargetsStayOnTheRootWindow) {
  struct Case {
    std::int32_t x, y;
    std::int32_t to_x, to_y;
  };
  const Case cases[] = {
      {40000, 300, 1279, 300},
      {65546, 10, 1279, 10},
      {2147483647, 300, 1279, 300},
      {-5, 7, 0, 7},
      {-2147483647 - 1, -2147483647 - 1, 0, 0},
      {1279, 799, 1279, 799},
      {1280, 800, 1279, 799},
      {0, 0, 0, 0},
      {640, 400, 640, 400},
  };
  for (const Case& c : cases) {
    system.pointer = {3, 3};
    system.pointer_reads = 0;
    clock.sleeps.clear();
    ASSERT_TRUE(run({action::MouseMove{c.x, c.y}, action::ButtonDown{MouseButton::Left},
                     action::ButtonUp{MouseButton::Left}})
                    .ok());
    EXPECT_EQ(system.pointer.x, c.to_x) << c.x;
    EXPECT_EQ(system.pointer.y, c.to_y) << c.y;
    // The pointer is where it was sent at the first look: no waiting for a
    // point it can never reach.
    EXPECT_EQ(system.pointer_reads, 1u) << c.x;
  }
}

TEST_F(X11KeyboardModel, WheelClicksAndKeysWithoutAKeyOnTheMap) {
  ASSERT_TRUE(run({action::WheelVertical{-2}, action::WheelHorizontal{1}}).ok());
  EXPECT_EQ(count("button 4 down"), 2u);
  EXPECT_EQ(count("button 7 down"), 1u);
  // F14 is not on the map: it is lent a spare code and put back.
  ASSERT_TRUE(run({action::ModifierDown{Modifier::Shift}, action::KeyTap{Key{KeyKind::F, 14}},
                   action::ModifierUp{Modifier::Shift}})
                  .ok());
  EXPECT_EQ(system.remap_requests, 2u);
  expect_clean("F14");
}

TEST_F(X11KeyboardModel, FailuresReleaseHeldKeysAndPutTheMapBack) {
  struct Case {
    const char* name;
    std::function<void(FakeX11System&)> script;
    InputActionList actions;
    std::string error;
  };
  const std::string prefix = "input_failed: ";
  const Case cases[] = {
      {"no keysym",
       [](FakeX11System&) {},
       {action::ModifierDown{Modifier::Ctrl}, action::TypeText{std::string("\u0416x\0", 4)}},
       "TypeText(\"\u0416x\\u{0}\"): simulating input failed: (no keysym for U+0000)"},
      {"no map",
       [](FakeX11System& s) { s.core_map_fails = true; },
       {action::TypeText{"a"}},
       "TypeText(\"a\"): simulating input failed: (cannot read the keyboard map)"},
      {"no free code",
       [](FakeX11System& s) {
         s.occupy(8, 255);
         for (int code = 8; code <= 255; ++code) s.down.insert(static_cast<std::uint8_t>(code));
       },
       {action::TypeText{"\u0416"}},
       "TypeText(\"\u0416\"): simulating input failed: (no key code is free to type the character)"},
      {"refused",
       [](FakeX11System& s) {
         s.refuse = [](const std::string& line) { return line.rfind("remap", 0) == 0 || line.rfind("set keys", 0) == 0; };
       },
       {action::ModifierDown{Modifier::Alt}, action::TypeText{"\u0416"}},
       "TypeText(\"\u0416\"): simulating input failed: (the X server refused the request)"},
      {"lost",
       [](FakeX11System& s) { s.lose_after = 3; },
       {action::ModifierDown{Modifier::Shift}, action::TypeText{"\u0416\u0436abc"}},
       "TypeText(\"\u0416\u0436abc\"): simulating input failed: (the connection to the X display was lost)"},
  };
  for (const Case& c : cases) {
    FakeX11System s = FakeX11System::us();
    c.script(s);
    const std::set<std::uint8_t> held_before = s.down;
    use(std::move(s));
    const Done done = run(c.actions);
    ASSERT_FALSE(done.ok()) << c.name;
    EXPECT_EQ(done.error(), prefix + c.error) << c.name;
    if (system.lost) continue;
    // Keys this request pressed are up again; a refused remapping is undone too.
    EXPECT_EQ(system.down, held_before) << c.name;
    EXPECT_EQ(system.core_map(), original_map) << c.name;
  }
}

TEST_F(X11KeyboardModel, UnavailableBackendSendsNothing) {
  system.open_error = "input_backend_unavailable: no connection could be established: (cannot open the X display)";
  const Done done = run({action::TypeText{"a"}});
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error(), *system.open_error);
  EXPECT_TRUE(system.log.empty());
}

}  // namespace
}  // namespace pelagon2::platform::x11
