// sway going away under a running host: the requests that touch it fail in the
// backend's usual forms within the deadline, and once sway is back on the same
// socket the next request works (the host connects again by itself). Also a
// compositor that stops answering without going away.

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/sway_session.h"
#include "support/temp_tree.h"
#include "support/wayland_gtk_client.h"

namespace pelagon2 {
namespace {

using testing::GtkEventsClient;
using testing::HostProcess;
using testing::SwaySession;

bool starts_with(const Json& reply, const std::string& prefix) {
  return reply.contains("error") && reply["error"]["message"].get<std::string>().rfind(prefix, 0) == 0;
}

class WlrFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SwaySession::available()) GTEST_SKIP() << "sway or setpriv missing";
    if (!GtkEventsClient::available()) GTEST_SKIP() << "/usr/bin/python3 missing";
    ASSERT_TRUE(sway.ready());
    env = sway.client_env();
    env.push_back("TMPDIR=" + tree.path());
  }

  // A click on a fresh GTK client reaches it: the whole route works.
  void expect_working(HostProcess& host) {
    GtkEventsClient gtk(sway.client_env());
    ASSERT_TRUE(gtk.ready());
    EXPECT_EQ(host.request("get_display_list")["result"].size(), 1u);
    const std::string path = tree.path() + "/c.png";
    EXPECT_EQ(host.request("capture_desktop", Json{{"path", path}})["result"], path);
    EXPECT_EQ(host.request("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 200}, {"y", 150}})["result"], Json(true));
    EXPECT_TRUE(gtk.wait_for([](const Json& e) { return e.value("event", "") == "button_release"; }).has_value());
    EXPECT_EQ(host.request("send_text", {{"text", "back ✓"}})["result"], Json(true));
    EXPECT_EQ(gtk.wait_for_text("back ✓"), "back ✓");
  }

  SwaySession sway;
  testing::TempTree tree;
  std::vector<std::string> env;
};

TEST_F(WlrFaults, KilledAndRestartedOnTheSameSocket) {
  HostProcess host(env);
  expect_working(host);
  const std::string display = sway.wayland_display();

  sway.stop(SIGKILL);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(to_json_text(host.request("get_display_list")), R"({"id":1,"result":[]})");
  const Json capture = host.request("capture_desktop", Json{{"path", tree.path() + "/gone.png"}});
  EXPECT_TRUE(starts_with(capture, "capture_failed: ")) << to_json_text(capture);
  const Json text = host.request("send_text", {{"text", "gone"}});
  EXPECT_TRUE(starts_with(text, "input_backend_unavailable: ")) << to_json_text(text);
  const Json click = host.request("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 1}, {"y", 1}});
  EXPECT_TRUE(starts_with(click, "input_backend_unavailable: ")) << to_json_text(click);
  EXPECT_EQ(host.request("get_active_browser_outer_rect")["result"], Json());
  // Nothing waits for a compositor that is not there.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  ASSERT_TRUE(sway.start());
  ASSERT_EQ(sway.wayland_display(), display) << "sway came back on another socket";
  expect_working(host);
}

TEST_F(WlrFaults, StoppedCompositorFailsWithinTheDeadline) {
  HostProcess host(env);
  expect_working(host);
  // Stopped, not gone: the socket stays open and nothing answers.
  ASSERT_EQ(::kill(sway.pid(), SIGSTOP), 0);
  const auto start = std::chrono::steady_clock::now();
  const Json capture = host.request("capture_desktop", Json{{"path", tree.path() + "/stopped.png"}});
  EXPECT_TRUE(starts_with(capture, "capture_failed: ")) << to_json_text(capture);
  const Json click = host.request("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 1}, {"y", 1}});
  EXPECT_TRUE(click.contains("error")) << to_json_text(click);
  // About one deadline (2 s) per request that waited, never more.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
  ASSERT_EQ(::kill(sway.pid(), SIGCONT), 0);
  expect_working(host);
}

}  // namespace
}  // namespace pelagon2
