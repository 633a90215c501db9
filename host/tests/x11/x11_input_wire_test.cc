// Input over the wire on a private X server, observed by a real X client:
// text (non-ASCII included) arrives exactly, key combinations arrive with
// their modifiers, clicks and wheel turns arrive at the requested place, no
// key is left down and the keyboard map is put back, whatever the layout.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/x11_input_recorder.h"
#include "support/xvfb_server.h"

namespace pelagon2 {
namespace {

using testing::InputRecorder;
using testing::no_key_down;
using testing::RecordedEvent;

std::vector<unsigned long> keyboard_map(Display* d) {
  int min = 0, max = 0, per = 0;
  XDisplayKeycodes(d, &min, &max);
  KeySym* map = XGetKeyboardMapping(d, static_cast<KeyCode>(min), max - min + 1, &per);
  std::vector<unsigned long> out(map, map + (max - min + 1) * per);
  XFree(map);
  return out;
}

std::string describe(const std::vector<RecordedEvent>& events) {
  std::string out;
  for (const RecordedEvent& e : events) {
    out += e.kind;
    if (e.kind == "press" || e.kind == "release")
      out += " " + std::to_string(e.keycode) + " state " + std::to_string(e.state) + " xlib " + std::to_string(e.keysym) +
             " '" + e.text + "' xkbcommon " + std::to_string(e.xkb_keysym) + " '" + e.xkb_text + "'";
    if (e.kind.rfind("button", 0) == 0) out += " " + std::to_string(e.button);
    if (e.kind.rfind("button", 0) == 0 || e.kind == "motion") {
      out += " @" + std::to_string(e.x) + "," + std::to_string(e.y);
    }
    out += "\n";
  }
  return out;
}

// Runs a layout-changing tool against our own server only.
void run_setxkbmap(const std::string& display, const std::string& args) {
  const std::string command = "setxkbmap -display " + display + " " + args + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class X11InputWire : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running());
    recorder = std::make_unique<InputRecorder>(server.display());
    ASSERT_TRUE(recorder->ready());
    host = std::make_unique<testing::HostProcess>(std::vector<std::string>{"DISPLAY=" + server.display()});
    original_map = keyboard_map(recorder->display());
  }

  // Sends one request, expects `true`, and returns what the window received.
  std::vector<RecordedEvent> send(const char* method, const Json& params) {
    const Json reply = host->request(method, params);
    EXPECT_EQ(reply.value("result", Json()), Json(true)) << reply.dump();
    std::vector<RecordedEvent> events = recorder->take();
    EXPECT_TRUE(no_key_down(recorder->display())) << method << " " << params.dump();
    EXPECT_EQ(keyboard_map(recorder->display()), original_map) << method << " " << params.dump();
    return events;
  }

  std::string type(const std::string& text) { return InputRecorder::typed(send("send_text", {{"text", text}})); }

  testing::XvfbServer server{"1280x800x24"};
  std::unique_ptr<InputRecorder> recorder;
  std::unique_ptr<testing::HostProcess> host;
  std::vector<unsigned long> original_map;
};

TEST_F(X11InputWire, TextArrivesExactly) {
  const std::pair<std::string, std::string> cases[] = {
      {"Hello, w\u00f6rld \u20ac${KEY_ENTER}", "Hello, w\u00f6rld \u20ac\n"},
      {"\u0416\u0436 \u65e5\u672c \U0001F642", "\u0416\u0436 \u65e5\u672c \U0001F642"},
      {"caf\u00e9 Stra\u00dfe \u00e9\u00e9\u20ac\u20ac!", "caf\u00e9 Stra\u00dfe \u00e9\u00e9\u20ac\u20ac!"},
      {"~`!@#$%^&*()_+{}|:\"<>?-=[]\\;',./ AZaz09", "~`!@#$%^&*()_+{}|:\"<>?-=[]\\;',./ AZaz09"},
      {"a\tb\nc\rd", "a\tb\nc\nd"},
      {"\u00a0\u00ff\u0100\u2028\uFFFD\U0010FFFD", "\u00a0\u00ff\u0100\u2028\uFFFD\U0010FFFD"},
  };
  for (const auto& [text, arrived] : cases) EXPECT_EQ(type(text), arrived) << text;
}

TEST_F(X11InputWire, ManyDistinctCharactersReuseAndRecycleSpareKeys) {
  // More distinct characters than the default map has free key codes.
  std::string text;
  for (char32_t c = 0x4e00; c < 0x4e00 + 60; ++c) {
    text += static_cast<char>(0xE0 | (c >> 12));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
  text += text.substr(0, 30);  // some again
  const auto events = send("send_text", {{"text", text}});
  EXPECT_EQ(InputRecorder::typed(events), text) << describe(events);
}

TEST_F(X11InputWire, KeyCombinationsHoldTheirModifiers) {
  std::vector<RecordedEvent> events;
  for (const RecordedEvent& e : send("send_text", {{"text", "${KEY_CTRL+KEY_A}"}})) {
    if (e.kind == "press" || e.kind == "release") events.push_back(e);
  }
  ASSERT_EQ(events.size(), 4u) << describe(events);
  EXPECT_EQ(events[0].kind, "press");
  EXPECT_EQ(events[0].keysym, static_cast<unsigned long>(XK_Control_L));
  EXPECT_EQ(events[1].kind, "press");
  EXPECT_EQ(events[1].keysym, static_cast<unsigned long>(XK_a));
  EXPECT_TRUE(events[1].state & ControlMask);
  EXPECT_EQ(events[2].kind, "release");
  EXPECT_EQ(events[2].keysym, static_cast<unsigned long>(XK_a));
  EXPECT_EQ(events[3].kind, "release");
  EXPECT_EQ(events[3].keysym, static_cast<unsigned long>(XK_Control_L));

  // Keys missing from the map (F13 here) are lent a spare key code too.
  const std::vector<RecordedEvent> f13 = send("send_text", {{"text", "${KEY_SHIFT+KEY_F13}${KEY_F1}${KEY_PGDN}"}});
  std::vector<unsigned long> pressed;
  for (const RecordedEvent& e : f13) {
    if (e.kind == "press") pressed.push_back(e.keysym);
  }
  EXPECT_EQ(pressed, (std::vector<unsigned long>{XK_Shift_L, XK_F13, XK_F1, XK_Next})) << describe(f13);
}

TEST_F(X11InputWire, ClicksAndWheelArriveWhereAsked) {
  Display* d = recorder->display();
  const auto pointer = [&] {
    Window root, child;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &x, &y, &wx, &wy, &mask);
    return std::pair{x, y};
  };
  const auto buttons = [](const std::vector<RecordedEvent>& events) {
    std::string out;
    for (const RecordedEvent& e : events) {
      if (e.kind.rfind("button", 0) == 0) {
        out += e.kind + " " + std::to_string(e.button) + " @" + std::to_string(e.x) + "," + std::to_string(e.y) + "\n";
      }
    }
    return out;
  };

  std::vector<RecordedEvent> events = send("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 321}, {"y", 123}});
  EXPECT_EQ(buttons(events), "button_press 1 @321,123\nbutton_release 1 @321,123\n");
  EXPECT_EQ(pointer(), (std::pair{321, 123}));

  events = send("send_mouse_event", {{"type", 4}, {"button", 1}, {"x", 10}, {"y", 700}});
  EXPECT_EQ(buttons(events),
            "button_press 3 @10,700\nbutton_release 3 @10,700\nbutton_press 3 @10,700\nbutton_release 3 @10,700\n");

  events = send("send_mouse_event", {{"type", 0}, {"button", 0}, {"x", 640.9}, {"y", 400}});
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, "motion");
  EXPECT_EQ(pointer(), (std::pair{640, 400}));

  events = send("send_mouse_event", {{"type", 1}, {"button", 2}, {"x", 5}, {"y", 6}});
  EXPECT_EQ(buttons(events), "button_press 2 @5,6\n");
  events = send("send_mouse_event", {{"type", 2}, {"button", 2}, {"x", 50}, {"y", 60}});
  EXPECT_EQ(buttons(events), "button_release 2 @50,60\n");

  events = send("send_mouse_wheel_event", {{"deltaX", 3}, {"deltaY", 0}});
  EXPECT_EQ(buttons(events),
            "button_press 5 @50,60\nbutton_release 5 @50,60\nbutton_press 5 @50,60\nbutton_release 5 @50,60\n"
            "button_press 5 @50,60\nbutton_release 5 @50,60\n");
  events = send("send_mouse_wheel_event", {{"deltaX", 0}, {"deltaY", -2}});
  EXPECT_EQ(buttons(events),
            "button_press 6 @50,60\nbutton_release 6 @50,60\nbutton_press 6 @50,60\nbutton_release 6 @50,60\n");
  events = send("send_mouse_wheel_event", {{"deltaX", -1}, {"deltaY", 1}});
  EXPECT_EQ(buttons(events),
            "button_press 4 @50,60\nbutton_release 4 @50,60\nbutton_press 7 @50,60\nbutton_release 7 @50,60\n");

  // Control-click holds Control around the click only.
  events = send("send_mouse_event", {{"type", 5}, {"button", 0}, {"x", 7}, {"y", 8}});
  std::string sequence;
  for (const RecordedEvent& e : events) {
    if (e.kind == "press" || e.kind == "release") sequence += e.kind + " " + std::to_string(e.keysym) + "\n";
    if (e.kind.rfind("button", 0) == 0) sequence += e.kind + "\n";
  }
  EXPECT_EQ(sequence, "press " + std::to_string(XK_Control_L) + "\nbutton_press\nbutton_release\nrelease " +
                          std::to_string(XK_Control_L) + "\n");
}

TEST_F(X11InputWire, FailuresLeaveNothingPressed) {
  Json reply = host->request("send_text", {{"text", std::string("ab\0c", 4)}});
  EXPECT_EQ(reply["error"]["message"],
            "input_failed: TypeText(\"ab\\u{0}c\"): simulating input failed: (no keysym for U+0000)");
  // Nothing of the failing action is typed.
  EXPECT_EQ(InputRecorder::typed(recorder->take()), "");
  // Actions before the failing one stay done.
  reply = host->request("send_text", {{"text", std::string("ok${KEY_SHIFT+KEY_X}\0", 21)}});
  EXPECT_EQ(reply["error"]["message"],
            "input_failed: TypeText(\"\\u{0}\"): simulating input failed: (no keysym for U+0000)");
  EXPECT_EQ(InputRecorder::typed(recorder->take()), "okX");
  EXPECT_TRUE(no_key_down(recorder->display()));
  EXPECT_EQ(keyboard_map(recorder->display()), original_map);
}

TEST_F(X11InputWire, OtherLayoutsTypeExactlyAndAreLeftAsFound) {
  struct Layout {
    const char* args;
    int group;  // locked group, e.g. the second layout of a pair
    std::string text;
    bool without_remapping;  // every character is on the layout
  };
  const Layout layouts[] = {
      {"-layout de", 0, "Hello, w\u00f6rld \u20ac\u00df@zy\u00e4\u00c4{}", true},
      {"-layout fr", 0, "1234567890 azerty \u00e9\u00e8\u00e0\u00e7 \u20ac", true},
      {"-layout us,ru", 1, "\u0416\u0436 \u044f hello \u00e9", false},
      {"-layout de", 0, "\u0416 \u65e5 \U0001F642 ok", false},
  };
  for (const Layout& layout : layouts) {
    run_setxkbmap(server.display(), layout.args);
    if (layout.group) {
      XkbLockGroup(recorder->display(), XkbUseCoreKbd, static_cast<unsigned>(layout.group));
      XSync(recorder->display(), False);
    }
    recorder->take();
    original_map = keyboard_map(recorder->display());
    const std::vector<RecordedEvent> events = send("send_text", {{"text", layout.text}});
    EXPECT_EQ(InputRecorder::typed(events), layout.text) << layout.args << "\n" << describe(events);
    // Borrowing changes one key at a time; the server's own notices when the
    // XTest keyboard takes over from the core one cover the whole range.
    bool remapped = false;
    for (const RecordedEvent& e : events) {
      remapped = remapped || (e.kind.rfind("mapping ", 0) == 0 && e.kind.ends_with(" 1"));
    }
    if (layout.without_remapping) {
      EXPECT_FALSE(remapped) << layout.args << "\n" << describe(events);
    }
    XkbLockGroup(recorder->display(), XkbUseCoreKbd, 0);
    XSync(recorder->display(), False);
  }
}

// A key code lent to a letter must give that letter at the level pressed:
// the core protocol reads a row holding one letter as its lower and upper
// case, and a key the active group does not cover falls back to the first
// group. Every case letter class goes through a borrowed code here.
TEST_F(X11InputWire, BorrowedCodesTypeLettersInTheirOwnCase) {
  struct Case {
    const char* layout;
    int group;
    std::string text;
  };
  const Case cases[] = {
      {"-layout us", 0, "\u00c9 \u00d6 \u00d1 \u00d8"},                  // Latin-1 upper
      {"-layout us", 0, "\u00e9 \u00f6 \u00f1 \u00f8 \u00ff"},          // Latin-1 lower
      {"-layout us", 0, "\u0141\u0142 \u0150\u0151 \u0160\u0161 \u017d\u017e"},  // Latin Extended-A
      {"-layout us", 0, "\u03a9\u03c9 \u0394\u03b4"},                   // Greek
      {"-layout us", 0, "\u0416\u0436 \u042f\u044f"},                   // Cyrillic
      {"-layout us", 0, "\u2713 \u6771 \u00c9\u2713\u00e9"},           // Unicode keysyms among letters
      {"-layout us,ru", 1, "Hello, World!"},                         // ASCII in a group without Latin letters
      {"-layout us,ru", 1, "AbC xYz \u00c9"},
      {"-layout us,gr", 1, "Hello QWERTY"},
  };
  for (const Case& c : cases) {
    run_setxkbmap(server.display(), c.layout);
    XkbLockGroup(recorder->display(), XkbUseCoreKbd, static_cast<unsigned>(c.group));
    XSync(recorder->display(), False);
    recorder->take();
    original_map = keyboard_map(recorder->display());
    const std::vector<RecordedEvent> events = send("send_text", {{"text", c.text}});
    EXPECT_EQ(InputRecorder::typed(events), c.text) << c.layout << " group " << c.group << "\n" << describe(events);
    XkbLockGroup(recorder->display(), XkbUseCoreKbd, 0);
    XSync(recorder->display(), False);
  }
}

TEST_F(X11InputWire, CapsLockDoesNotChangeTheText) {
  XkbLockModifiers(recorder->display(), XkbUseCoreKbd, LockMask, LockMask);
  XSync(recorder->display(), False);
  recorder->take();
  for (const std::string text : {"aA zZ 1!", "\u00e9\u00c9 \u0436\u0416 \u00df \u20ac"}) {
    EXPECT_EQ(type(text), text);
    XkbStateRec state{};
    XkbGetState(recorder->display(), XkbUseCoreKbd, &state);
    EXPECT_TRUE(state.locked_mods & LockMask) << "Caps Lock is left as it was";
  }
  XkbLockModifiers(recorder->display(), XkbUseCoreKbd, LockMask, 0);
  XSync(recorder->display(), False);
}

TEST(X11InputNoDisplay, UnavailableUnlessNothingIsSent) {
  testing::HostProcess host({"DISPLAY="});
  const Json refused = host.request("send_text", {{"text", "a"}});
  EXPECT_EQ(refused["error"]["message"],
            "input_backend_unavailable: no connection could be established: (cannot open the X display)");
  EXPECT_EQ(host.request("send_mouse_event", {{"type", 0}, {"button", 0}, {"x", 1}, {"y", 1}})["error"]["message"],
            "input_backend_unavailable: no connection could be established: (cannot open the X display)");
  EXPECT_EQ(host.request("send_text", {{"text", ""}})["result"], Json(true));
  EXPECT_EQ(host.request("send_mouse_wheel_event", {{"deltaX", 0}, {"deltaY", 0}})["result"], Json(true));
}

TEST(X11InputVanishingDisplay, HostAnswersAfterTheServerGoes) {
  testing::XvfbServer server;
  ASSERT_TRUE(server.running());
  testing::HostProcess host({"DISPLAY=" + server.display()});
  ASSERT_EQ(host.request("send_mouse_event", {{"type", 0}, {"button", 0}, {"x", 1}, {"y", 1}})["result"], Json(true));
  server.stop();
  const Json reply = host.request("send_text", {{"text", "gone"}});
  ASSERT_TRUE(reply.contains("error")) << reply.dump();
  EXPECT_EQ(reply["error"]["message"].get<std::string>().rfind("input_", 0), 0u) << reply.dump();
  EXPECT_EQ(host.request("get_version")["result"], "2.0.2");
}

}  // namespace
}  // namespace pelagon2
