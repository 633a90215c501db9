// Windows and permissions over the wire on headless sway: the browser's
// window rectangle comes from sway's tree (a GTK client run under a browser's
// executable name stands in for the browser), checked against what swaymsg
// itself reports; permissions are granted while the compositor is there.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/wayland/sway_tree_model.h"
#include "support/host_process.h"
#include "support/sway_session.h"
#include "support/wayland_gtk_client.h"

namespace pelagon2 {
namespace {

using testing::GtkEventsClient;
using testing::HostProcess;
using testing::SwayOutput;
using testing::SwaySession;

Json rect(double x, double y, double w, double h) { return Json{{"height", h}, {"width", w}, {"x", x}, {"y", y}}; }

class WlrWindows : public ::testing::TestWithParam<double> {};

TEST_P(WlrWindows, BrowserRectangleFromSwaysTree) {
  if (!SwaySession::available()) GTEST_SKIP() << "sway or setpriv missing";
  SwaySession sway({SwayOutput{1280, 800, GetParam()}});
  ASSERT_TRUE(sway.ready());
  HostProcess host(sway.client_env());
  EXPECT_EQ(host.request("get_active_browser_outer_rect")["result"], Json()) << "no browser yet";

  GtkEventsClient browser(sway.client_env(), "chromium");
  ASSERT_TRUE(browser.ready());
  // What sway itself says about the client's view, independently of the host.
  const std::optional<std::vector<platform::WindowRecord>> views =
      platform::wayland::sway_windows(sway.swaymsg({"-t", "get_tree", "-r"}));
  ASSERT_TRUE(views.has_value());
  ASSERT_EQ(views->size(), 1u);
  EXPECT_EQ(views->front().owner_pid, browser.pid());
  const double w = 1280 / GetParam(), h = 800 / GetParam();
  EXPECT_EQ(rect(views->front().x, views->front().y, views->front().width, views->front().height), rect(0, 0, w, h));

  const Json reply = host.request("get_active_browser_outer_rect");
  EXPECT_EQ(reply["result"], rect(0, 0, w, h)) << to_json_text(reply);
}

INSTANTIATE_TEST_SUITE_P(Scales, WlrWindows, ::testing::Values(1.0, 2.0),
                         [](const ::testing::TestParamInfo<double>& p) {
                           return "scale" + std::to_string(static_cast<int>(p.param));
                         });

TEST(WlrWindowsElsewhere, NoSwaySocketNoRectangle) {
  if (!SwaySession::available()) GTEST_SKIP() << "sway or setpriv missing";
  SwaySession sway;
  ASSERT_TRUE(sway.ready());
  std::vector<std::string> env = sway.client_env();
  // Another wlroots compositor: no sway IPC to ask.
  env.push_back("SWAYSOCK=");
  GtkEventsClient browser(sway.client_env(), "chromium");
  ASSERT_TRUE(browser.ready());
  HostProcess host(env);
  EXPECT_EQ(host.request("get_active_browser_outer_rect")["result"], Json());
  EXPECT_EQ(host.request("get_display_list")["result"].size(), 1u) << "the rest of the route serves";
}

TEST(WlrPermissions, GrantedWhileTheCompositorIsThere) {
  if (!SwaySession::available()) GTEST_SKIP() << "sway or setpriv missing";
  SwaySession sway;
  ASSERT_TRUE(sway.ready());
  HostProcess host(sway.client_env());
  EXPECT_EQ(host.request("get_permission_status")["result"], (Json{{"accessibility", true}, {"screenRecording", true}}));
  for (const char* kind : {"accessibility", "screenRecording"}) {
    EXPECT_EQ(host.request("request_permission", Json{{"kind", kind}})["result"], (Json{{"granted", true}, {"kind", kind}}));
  }
  sway.stop(SIGKILL);
  EXPECT_EQ(host.request("get_permission_status")["result"], (Json{{"accessibility", false}, {"screenRecording", false}}));
  // Nobody to ask: a request answers the status.
  EXPECT_EQ(host.request("request_permission", Json{{"kind", "accessibility"}})["result"],
            (Json{{"granted", false}, {"kind", "accessibility"}}));
  ASSERT_TRUE(sway.start());
  EXPECT_EQ(host.request("get_permission_status")["result"], (Json{{"accessibility", true}, {"screenRecording", true}}));
}

}  // namespace
}  // namespace pelagon2
