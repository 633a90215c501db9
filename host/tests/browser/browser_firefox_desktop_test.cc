// Firefox's window on a private X server under a window manager, as the host
// sees it when Firefox's extension asks: the window's frame, and a capture of
// the monitor the window is on.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <signal.h>

#include <memory>
#include <string>

#include "browser/firefox_session.h"
#include "support/x_clients.h"
#include "support/x_observer.h"
#include "support/xvfb_server.h"
#include "testkit/png_file_reader.h"

namespace pelagon2::testing {
namespace {

TEST(FirefoxDesktopTest, ReportsTheWindowFrameAndCapturesItsMonitor) {
  if (!firefox_available()) GTEST_SKIP() << "no Firefox at " << firefox_executable();
  ::signal(SIGPIPE, SIG_IGN);
  XvfbServer server("1600x900x24");
  ASSERT_TRUE(server.running());
  TempTree home;
  XObserver observer(server.display());
  ASSERT_TRUE(observer.ok());
  WindowManager wm(server.display(), home.path());
  ASSERT_TRUE(wm.started());

  FirefoxSession browser(server.display());
  ASSERT_TRUE(browser.start()) << browser.error() << "\nbrowser output:\n" << browser.log_tail();
  const auto host = [&](std::string_view method, const Json& params = Json::object()) {
    const Json message = {{"id", 1}, {"method", method}, {"params", params}};
    std::optional<Json> value = browser.call("callHost", Json::array({message}));
    EXPECT_TRUE(value.has_value()) << browser.error();
    return value ? (*value)["reply"].value("result", Json("no result: " + value->dump())) : Json("no result");
  };

  Json frame;
  ASSERT_TRUE(wait_until([&] { return (frame = observer.frame_of_process(browser.pid())).is_object(); }))
      << "Firefox's window was never managed\n" << browser.log_tail();
  EXPECT_TRUE(wait_until([&] { return host("get_active_browser_outer_rect") == frame; }))
      << host("get_active_browser_outer_rect").dump() << " vs " << frame.dump();

  const std::string path = home.path() + "/desktop.png";
  EXPECT_EQ(host("capture_desktop", {{"path", path}}), path);
  const std::optional<PngFile> capture = read_png_file(path);
  ASSERT_TRUE(capture.has_value());
  EXPECT_EQ(capture->width, 1600u);
  EXPECT_EQ(capture->height, 900u);
  EXPECT_EQ(browser.stop_and_list_leftovers(), "");
}

}  // namespace
}  // namespace pelagon2::testing
