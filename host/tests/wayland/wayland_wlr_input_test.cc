// Input over the wire on headless sway, watched by the GTK client through its
// own event handling: clicks land where asked at scale 1 and 2, the wheel
// turns as on X11, text arrives exactly (characters beyond the US layout
// included), key combinations carry their modifiers, no key stays down, and
// a key typed by one request is in the next request's capture.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/sway_session.h"
#include "support/temp_tree.h"
#include "support/wayland_gtk_client.h"
#include "testkit/png_file_reader.h"

namespace pelagon2 {
namespace {

using testing::GtkEventsClient;
using testing::HostProcess;
using testing::SwayOutput;
using testing::SwaySession;

// The events from index `from` on, of the kinds named, as text.
std::string describe(const std::vector<Json>& events, std::size_t from, const std::vector<std::string>& kinds) {
  std::string out;
  for (std::size_t i = from; i < events.size(); ++i) {
    const Json& e = events[i];
    const std::string kind = e.value("event", "");
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) continue;
    out += kind;
    if (kind.rfind("button", 0) == 0) {
      out += " " + std::to_string(e["button"].get<int>()) + " @" + std::to_string(static_cast<int>(e["x"].get<double>())) +
             "," + std::to_string(static_cast<int>(e["y"].get<double>()));
    } else if (kind == "scroll") {
      // GTK's own directions from the deltas it reports.
      const double dx = e["dx"].get<double>(), dy = e["dy"].get<double>();
      out += dy > 0 ? " down" : dy < 0 ? " up" : dx > 0 ? " right" : dx < 0 ? " left" : " none";
    } else if (kind.rfind("key", 0) == 0) {
      out += " " + e["name"].get<std::string>();
    }
    out += "\n";
  }
  return out;
}

// Every key pressed among the events was released again.
std::string keys_down(const std::vector<Json>& events) {
  std::map<int, int> down;
  for (const Json& e : events) {
    const std::string kind = e.value("event", "");
    if (kind == "key_press") ++down[e["keycode"].get<int>()];
    if (kind == "key_release") --down[e["keycode"].get<int>()];
  }
  std::string out;
  for (const auto& [code, n] : down) {
    if (n != 0) out += std::to_string(code) + ":" + std::to_string(n) + " ";
  }
  return out;
}

class WlrInput : public ::testing::TestWithParam<double> {
 protected:
  void SetUp() override {
    if (!SwaySession::available()) GTEST_SKIP() << "sway or setpriv missing";
    if (!GtkEventsClient::available()) GTEST_SKIP() << "/usr/bin/python3 missing";
    sway = std::make_unique<SwaySession>(std::vector<SwayOutput>{SwayOutput{1280, 800, GetParam()}});
    ASSERT_TRUE(sway->ready());
    gtk = std::make_unique<GtkEventsClient>(sway->client_env());
    ASSERT_TRUE(gtk->ready());
    std::vector<std::string> env = sway->client_env();
    env.push_back("TMPDIR=" + tree.path());
    host = std::make_unique<HostProcess>(env);
  }

  // Sends one request and waits until the client has seen `until` (an event
  // kind) after the events so far; the new events.
  std::vector<Json> send(const char* method, const Json& params, const char* until) {
    const std::size_t before = gtk->events().size();
    const Json reply = host->request(method, params);
    EXPECT_EQ(reply["result"], Json(true)) << to_json_text(reply);
    gtk->wait_for([&](const Json& e) { return e.value("event", "") == until; }, std::chrono::seconds(20), before);
    std::vector<Json> all = gtk->events();
    return std::vector<Json>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  }

  testing::TempTree tree;
  std::unique_ptr<SwaySession> sway;
  std::unique_ptr<GtkEventsClient> gtk;
  std::unique_ptr<HostProcess> host;
};

TEST_P(WlrInput, ClicksAndWheelReachGtkWhereAsked) {
  // Points: the same logical place at every scale.
  std::vector<Json> events = send("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 321}, {"y", 123}}, "button_release");
  EXPECT_EQ(describe(events, 0, {"button_press", "button_release"}), "button_press 1 @321,123\nbutton_release 1 @321,123\n");
  events = send("send_mouse_event", {{"type", 3}, {"button", 1}, {"x", 10}, {"y", 300}}, "button_release");
  EXPECT_EQ(describe(events, 0, {"button_press", "button_release"}), "button_press 3 @10,300\nbutton_release 3 @10,300\n");
  // Beyond the output: its last point.
  events = send("send_mouse_event", {{"type", 1}, {"button", 2}, {"x", 5000}, {"y", -40}}, "button_press");
  const int last_x = static_cast<int>(1280 / GetParam()) - 1;
  EXPECT_EQ(describe(events, 0, {"button_press"}), "button_press 2 @" + std::to_string(last_x) + ",0\n");
  // A press is left held until its release comes, requests later.
  events = send("send_mouse_event", {{"type", 2}, {"button", 2}, {"x", 50}, {"y", 60}}, "button_release");
  EXPECT_EQ(describe(events, 0, {"button_release"}), "button_release 2 @50,60\n");

  // X11's directions: deltaX 3 is three clicks down, deltaY -2 two left.
  events = send("send_mouse_wheel_event", {{"deltaX", 3}, {"deltaY", 0}}, "scroll");
  gtk->wait_for([&](const Json&) { return describe(gtk->events(), 0, {"scroll"}).size() >= 15; });
  EXPECT_EQ(describe(gtk->events(), 0, {"scroll"}), "scroll down\nscroll down\nscroll down\n");
  const std::size_t before = gtk->events().size();
  send("send_mouse_wheel_event", {{"deltaX", -1}, {"deltaY", -2}}, "scroll");
  gtk->wait_for([&](const Json&) { return describe(gtk->events(), before, {"scroll"}).size() >= 22; });
  EXPECT_EQ(describe(gtk->events(), before, {"scroll"}), "scroll up\nscroll left\nscroll left\n");
}

TEST_P(WlrInput, TextArrivesExactly) {
  const std::string text = "Grüße aus Köln — 東京 ✓ ½€ UPPER lower 123 !@#$%^&*()_+{}|:\"<>?~";
  send("send_text", {{"text", text}}, "text");
  EXPECT_EQ(gtk->wait_for_text(text), text);
  // More characters beyond the layout than there are spare keys, in one request.
  const std::string many = "αβγδεζηθικλμνξοπρστυφχψω — ЖЗИЙКЛ";
  send("send_text", {{"text", "${KEY_CTRL+KEY_A}${KEY_BACKSPACE}" + many}}, "text");
  EXPECT_EQ(gtk->wait_for_text(many), many);
  EXPECT_EQ(keys_down(gtk->events()), "");
}

TEST_P(WlrInput, KeyCombinationsCarryTheirModifiers) {
  send("send_text", {{"text", "some words"}}, "text");
  ASSERT_EQ(gtk->wait_for_text("some words"), "some words");
  // Ctrl+A selects everything, BackSpace deletes it: GTK's own bindings.
  const std::size_t before = gtk->events().size();
  send("send_text", {{"text", "${KEY_CTRL+KEY_A}${KEY_BACKSPACE}"}}, "text");
  EXPECT_EQ(gtk->wait_for_text(""), "");
  EXPECT_EQ(describe(gtk->events(), before, {"key_press"}), "key_press Control_L\nkey_press a\nkey_press BackSpace\n");
  // Shift held over a letter key gives the capital.
  send("send_text", {{"text", "x${KEY_SHIFT+KEY_X}"}}, "text");
  EXPECT_EQ(gtk->wait_for_text("xX"), "xX");
  // F13 is F13 to the application, also right after a text that put
  // characters on the spare keys from F13 on.
  send("send_text", {{"text", "üö"}}, "text");
  ASSERT_EQ(gtk->wait_for_text("xXüö"), "xXüö");
  const std::size_t keys = gtk->events().size();
  send("send_text", {{"text", "${KEY_SHIFT+KEY_F13}${KEY_F1}${KEY_PGDN}${KEY_F15}"}}, "key_release");
  gtk->wait_for([](const Json& e) { return e.value("name", "") == "F15" && e.value("event", "") == "key_release"; },
                std::chrono::seconds(20), keys);
  EXPECT_EQ(describe(gtk->events(), keys, {"key_press"}),
            "key_press Shift_L\nkey_press F13\nkey_press F1\nkey_press Page_Down\nkey_press F15\n");
  EXPECT_EQ(gtk->wait_for_text("xXüö"), "xXüö");
  EXPECT_EQ(keys_down(gtk->events()), "");
}

TEST_P(WlrInput, FailuresLeaveNothingPressed) {
  Json reply = host->request("send_text", {{"text", std::string("ok${KEY_SHIFT+KEY_X}\0", 21)}});
  EXPECT_EQ(reply["error"]["message"],
            "input_failed: TypeText(\"\\u{0}\"): simulating input failed: (no keysym for U+0000)");
  EXPECT_EQ(gtk->wait_for_text("okX"), "okX");
  // A modifier pressed by a request is released at its end.
  send("send_mouse_event", {{"type", 5}, {"button", 0}, {"x", 7}, {"y", 8}}, "button_release");
  gtk->wait_for([&](const Json& e) { return e.value("event", "") == "key_release" && e.value("name", "") == "Control_L"; });
  EXPECT_EQ(keys_down(gtk->events()), "");
}

TEST_P(WlrInput, TheNextCaptureShowsWhatTheLastRequestTyped) {
  const std::string path = tree.path() + "/after.png";
  for (const std::string text : {"MMMMMMMMMMMMMMMMMMMM", "WWWWWWWWWWWWWWWWWWWW"}) {
    ASSERT_EQ(host->request("capture_desktop", Json{{"path", path}})["result"], path);
    const std::optional<testing::PngFile> before = testing::read_png_file(path);
    ASSERT_TRUE(before.has_value());
    ASSERT_EQ(host->request("send_text", {{"text", text}})["result"], Json(true));
    // No wait between the requests: the capture must already hold the text.
    ASSERT_EQ(host->request("capture_desktop", Json{{"path", path}})["result"], path);
    const std::optional<testing::PngFile> after = testing::read_png_file(path);
    ASSERT_TRUE(after.has_value());
    // The entry is at the bottom left; its pixels changed.
    std::size_t changed = 0;
    const std::uint32_t rows = after->height / 4, width = after->width / 2;
    for (std::uint32_t y = after->height - rows; y < after->height; ++y) {
      for (std::uint32_t x = 0; x < width; ++x) {
        const std::size_t i = (std::size_t{y} * after->width + x) * 4;
        changed += before->pixels[i] != after->pixels[i] || before->pixels[i + 1] != after->pixels[i + 1];
      }
    }
    EXPECT_GT(changed, 200u) << text;
  }
}

// Two outputs, the right one at scale 2: a point on it reaches the client there.
TEST(WlrInputTwoOutputs, ClickOnTheSecondOutput) {
  if (!SwaySession::available()) GTEST_SKIP() << "sway or setpriv missing";
  if (!GtkEventsClient::available()) GTEST_SKIP() << "/usr/bin/python3 missing";
  SwaySession sway({SwayOutput{1280, 800, 1}, SwayOutput{1280, 800, 2}});
  ASSERT_TRUE(sway.ready());
  ASSERT_FALSE(sway.swaymsg({"focus", "output", "HEADLESS-2"}).empty());
  GtkEventsClient gtk(sway.client_env());
  ASSERT_TRUE(gtk.ready());
  ASSERT_EQ(gtk.events().front()["width"], 640) << "the client is on the scale-2 output";
  HostProcess host(sway.client_env());
  ASSERT_EQ(host.request("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 1280 + 321}, {"y", 123}})["result"],
            Json(true));
  ASSERT_TRUE(gtk.wait_for([](const Json& e) { return e.value("event", "") == "button_release"; }).has_value());
  EXPECT_EQ(describe(gtk.events(), 0, {"button_press", "button_release"}),
            "button_press 1 @321,123\nbutton_release 1 @321,123\n");
  // Beyond the right output's far corner: its last point.
  const std::size_t before = gtk.events().size();
  ASSERT_EQ(host.request("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 9000}, {"y", 9000}})["result"], Json(true));
  gtk.wait_for([](const Json& e) { return e.value("event", "") == "button_release"; }, std::chrono::seconds(20), before);
  EXPECT_EQ(describe(gtk.events(), before, {"button_press"}), "button_press 1 @639,399\n");
}

INSTANTIATE_TEST_SUITE_P(Scales, WlrInput, ::testing::Values(1.0, 2.0),
                         [](const ::testing::TestParamInfo<double>& p) {
                           return "scale" + std::to_string(static_cast<int>(p.param));
                         });

}  // namespace
}  // namespace pelagon2
