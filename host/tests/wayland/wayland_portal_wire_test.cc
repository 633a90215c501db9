// The host on the desktop portal route (forced on gnome-shell, whose portal
// shows a dialog per session), over the wire: nothing is granted before the
// dialog, request_permission shows it and reports the answer, and then the
// display list, capture and input serve a native GTK client; a refused dialog
// gives the permission failures of a system that was refused.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "support/gnome_session.h"
#include "support/gnome_suite.h"
#include "support/host_process.h"
#include "support/portal_dialog.h"
#include "support/temp_tree.h"
#include "testkit/png_file_reader.h"

namespace pelagon2 {
namespace {

using testing::GnomeSession;
using testing::GnomeSuite;
using testing::GtkEvents;
using testing::HostProcess;
using testing::PortalDialog;

constexpr const char* kNoInput =
    "input_backend_unavailable: the application does not have the permission to simulate input";

// gnome-shell with its portal and the GTK client, once for the program.
class PortalWireTest : public GnomeSuite<PortalWireTest> {
 protected:
  static void SetUpTestSuite() { start_suite({.shell = true, .portal = true}, "events.jsonl"); }
  void SetUp() override {
    if (session_->missing_programs() || ::access("/usr/libexec/xdg-desktop-portal-gnome", X_OK) != 0)
      GTEST_SKIP() << session_->why() << " (or no desktop portal)";
    ASSERT_TRUE(session_->ready()) << session_->why();
    ASSERT_TRUE(gtk_ready_) << gtk_->text() << session_->log();
  }
  static std::vector<std::string> host_env() {
    std::vector<std::string> env = session_->env();
    env.push_back("PELAGON2_WAYLAND_ROUTE=portal");
    return env;
  }
  // The entry's text after its latest change.
  static std::string last_text() {
    std::string text;
    for (const std::string& line : gtk_->lines()) {
      const std::optional<Json> event = parse_json_reference(line);
      if (event && event->is_object() && event->value("event", "") == "text") text = event->value("text", "");
    }
    return text;
  }
  static Json status(HostProcess& host) { return host.request("get_permission_status")["result"]; }

  // A request_permission while the dialog is answered with `choice`.
  static Json request_answered(HostProcess& host, const char* kind, PortalDialog::Choice choice, std::string* why) {
    PortalDialog dialog(*session_);
    dialog.answer_async(choice);
    const Json reply = host.request("request_permission", Json{{"kind", kind}});
    if (!dialog.wait()) *why = dialog.why();
    return reply;
  }

};

TEST_F(PortalWireTest, SharedDialogGrantsTheScreenAndInputForTheHostProcess) {
  HostProcess host(host_env());
  // Asking the status shows nothing and grants nothing.
  EXPECT_EQ(status(host), (Json{{"accessibility", false}, {"screenRecording", false}}));

  std::string why;
  const Json granted = request_answered(host, "screenRecording", PortalDialog::Choice::share, &why);
  ASSERT_TRUE(why.empty()) << why;
  ASSERT_EQ(granted["result"], (Json{{"granted", true}, {"kind", "screenRecording"}})) << granted.dump();
  EXPECT_EQ(status(host), (Json{{"accessibility", true}, {"screenRecording", true}}));
  // The same session answers the other kind: no second dialog.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(host.request("request_permission", Json{{"kind", "accessibility"}})["result"],
            (Json{{"granted", true}, {"kind", "accessibility"}}));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));

  // The shared monitor, in points.
  const Json list = host.request("get_display_list");
  ASSERT_TRUE(list.contains("result")) << list.dump();
  ASSERT_EQ(list["result"].size(), 1u) << list.dump();
  const Json& display = list["result"][0];
  EXPECT_EQ(to_json_text(Json{{"x", display["x"]}, {"y", display["y"]}, {"w", display["width"]}, {"h", display["height"]}}),
            R"({"h":800,"w":1280,"x":0,"y":0})")
      << list.dump();
  EXPECT_EQ(display["isPrimary"], true) << list.dump();
  EXPECT_EQ(host.request("get_screen_backing_scale_factor")["result"], 1.0);

  // The capture shows the GTK client's colours where it painted them.
  testing::TempTree tree;
  const std::string path = tree.path() + "/capture.png";
  const Json capture = host.request("capture_desktop", Json{{"path", path}});
  ASSERT_EQ(capture["result"], path) << capture.dump();
  const std::optional<testing::PngFile> png = testing::read_png_file(path);
  ASSERT_TRUE(png.has_value());
  ASSERT_EQ(png->width, 1280u);
  ASSERT_EQ(png->height, 800u);
  const std::size_t channels = png->color_type == PNG_COLOR_TYPE_RGBA ? 4 : 3;
  auto rgb = [&](std::size_t x, std::size_t y) {
    const std::uint8_t* p = png->pixels.data() + (y * png->width + x) * channels;
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
  };
  EXPECT_EQ(rgb(150, 150), 0xff0000u);  // red block at (100, 100) 200x100
  EXPECT_EQ(rgb(450, 150), 0x0000ffu);  // blue block at (400, 100) 100x100
  EXPECT_EQ(rgb(700, 400), 0xffffffu);

  // A click reaches the client on the pixel asked for.
  ASSERT_EQ(host.request("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 321}, {"y", 123}})["result"], Json(true));
  ASSERT_TRUE(testing::wait_until([&] { return !gtk_->events("button_release").empty(); })) << gtk_->text();
  const std::vector<Json> presses = gtk_->events("button_press");
  ASSERT_EQ(presses.size(), 1u) << gtk_->text();
  EXPECT_EQ(presses[0]["button"], 1);
  EXPECT_EQ(std::floor(presses[0]["x"].get<double>()), 321.0) << gtk_->text();
  EXPECT_EQ(std::floor(presses[0]["y"].get<double>()), 123.0) << gtk_->text();

  // ASCII typed by keysym arrives exactly in the entry that has the focus.
  const std::string text = "Portal ok: A-z 0-9 ~!@#$%^&*()_+{}|:\"<>?";
  ASSERT_EQ(host.request("send_text", {{"text", text}})["result"], Json(true));
  EXPECT_TRUE(testing::wait_until([&] { return last_text() == text; })) << gtk_->text();

  // The next capture shows what the previous request typed.
  const std::string before_path = tree.path() + "/before.png", after_path = tree.path() + "/after.png";
  ASSERT_EQ(host.request("capture_desktop", Json{{"path", before_path}})["result"], before_path);
  ASSERT_EQ(host.request("send_text", {{"text", "WWWW"}})["result"], Json(true));
  ASSERT_EQ(host.request("capture_desktop", Json{{"path", after_path}})["result"], after_path);
  const std::optional<testing::PngFile> shown_before = testing::read_png_file(before_path);
  const std::optional<testing::PngFile> shown_after = testing::read_png_file(after_path);
  ASSERT_TRUE(shown_before && shown_after);
  ASSERT_EQ(shown_before->pixels.size(), shown_after->pixels.size());
  // The entry: bottom left, 20 points in, one line tall.
  std::size_t changed = 0;
  const std::size_t row_bytes = shown_before->pixels.size() / shown_before->height;
  for (std::size_t y = 700; y < 800; ++y) {
    for (std::size_t b = 0; b < 700 * channels; ++b) changed += shown_before->pixels[y * row_bytes + b] != shown_after->pixels[y * row_bytes + b];
  }
  EXPECT_GT(changed, 50u) << "the typed letters are not in the capture after them";
  EXPECT_EQ(last_text(), text + "WWWW");

  // Text beyond the keyboard map needs a clipboard, which this portal's sessions lack.
  const Json beyond = host.request("send_text", {{"text", "\u00e9"}});
  ASSERT_TRUE(beyond.contains("error")) << beyond.dump();
  const std::string message = beyond["error"]["message"];
  EXPECT_EQ(message.rfind("input_failed: ", 0), 0u) << message;
  EXPECT_NE(message.find("simulating input failed: ("), std::string::npos) << message;

  // Every key pressed was released: each keyval's last event is a release.
  std::map<std::int64_t, std::string> last_event;
  for (const std::string& line : gtk_->lines()) {
    const std::optional<Json> event = parse_json_reference(line);
    if (!event || !event->is_object()) continue;
    const std::string kind = event->value("event", "");
    if (kind == "key_press" || kind == "key_release") last_event[event->value("keyval", std::int64_t{0})] = kind;
  }
  EXPECT_FALSE(last_event.empty());
  for (const auto& [keyval, kind] : last_event) EXPECT_EQ(kind, "key_release") << "keyval " << keyval << " held";
}

TEST_F(PortalWireTest, RefusedDialogFailsCaptureAndInputAsARefusedPermission) {
  HostProcess host(host_env());
  std::string why;
  const Json refused = request_answered(host, "screenRecording", PortalDialog::Choice::cancel, &why);
  ASSERT_TRUE(why.empty()) << why;
  EXPECT_EQ(refused["result"], (Json{{"granted", false}, {"kind", "screenRecording"}})) << refused.dump();
  EXPECT_EQ(status(host), (Json{{"accessibility", false}, {"screenRecording", false}}));

  // The answer stands for the host process: no dialog again, at once.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(host.request("request_permission", Json{{"kind", "accessibility"}})["result"],
            (Json{{"granted", false}, {"kind", "accessibility"}}));
  const Json capture = host.request("capture_desktop");
  ASSERT_TRUE(capture.contains("error")) << capture.dump();
  EXPECT_EQ(capture["error"]["message"].get<std::string>().rfind("screen_recording_denied: ", 0), 0u) << capture.dump();
  EXPECT_EQ(host.request("send_text", {{"text", "a"}})["error"]["message"], kNoInput);
  EXPECT_EQ(host.request("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 5}, {"y", 5}})["error"]["message"],
            kNoInput);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  EXPECT_EQ(host.request("get_version")["result"], "2.0.2");
}

// Last: it takes the compositor (and the GTK client with it) away. The
// portal never closes its session then; the stream's node leaving PipeWire's
// graph is what tells the host.
TEST_F(PortalWireTest, SessionLostWithTheCompositorIsNoLongerGranted) {
  HostProcess host(host_env());
  std::string why;
  ASSERT_EQ(request_answered(host, "screenRecording", PortalDialog::Choice::share, &why)["result"]["granted"], true)
      << why;
  testing::TempTree tree;
  const std::string path = tree.path() + "/capture.png";
  ASSERT_EQ(host.request("capture_desktop", Json{{"path", path}})["result"], path);

  session_->kill_compositor();
  // The loss reaches the host as the desktop's services notice it (a capture
  // racing the kill may still get the last frame); from then on the requests
  // fail in their usual forms, each within the backend's deadlines.
  const auto before = std::chrono::steady_clock::now();
  Json lost;
  EXPECT_TRUE(testing::wait_until([&] {
    lost = host.request("capture_desktop", Json{{"path", path}});
    return lost.contains("error");
  }));
  ASSERT_TRUE(lost.contains("error")) << lost.dump();
  const std::string message = lost["error"]["message"];
  EXPECT_TRUE(message.rfind("capture_failed: ", 0) == 0 || message.rfind("screen_recording_denied: ", 0) == 0) << message;
  const Json typed = host.request("send_text", {{"text", "a"}});
  ASSERT_TRUE(typed.contains("error")) << typed.dump();
  EXPECT_EQ(typed["error"]["message"].get<std::string>().rfind("input_", 0), 0u) << typed.dump();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
  EXPECT_EQ(status(host), (Json{{"accessibility", false}, {"screenRecording", false}}));
}

}  // namespace
}  // namespace pelagon2
