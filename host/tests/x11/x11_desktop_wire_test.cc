// The browser window and the permissions over the wire, against a private X
// server with real client windows, with and without a window manager.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/host_process.h"
#include "support/temp_tree.h"
#include "support/x_clients.h"
#include "support/x_observer.h"
#include "support/xvfb_server.h"

namespace pelagon2 {
namespace {

using testing::HostProcess;
using testing::WindowClient;
using testing::WindowManager;
using testing::XvfbServer;

using Observer = testing::XObserver;
using testing::rect;
using testing::wait_until;

class DesktopWire : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.running());
    browser_ = testing::copy_program(PELAGON2_WINDOW_CLIENT_PATH, tree_.path(), "chromium");
    other_ = testing::copy_program(PELAGON2_WINDOW_CLIENT_PATH, tree_.path(), "xterm");
    ASSERT_FALSE(browser_.empty());
    ASSERT_FALSE(other_.empty());
  }

  std::unique_ptr<WindowClient> window(const std::string& program, std::vector<std::string> args) {
    auto client = std::make_unique<WindowClient>(program, server_.display(), std::move(args));
    EXPECT_TRUE(client->ready()) << program;
    return client;
  }

  Json browser_rect(HostProcess& host) {
    const Json reply = host.request("get_active_browser_outer_rect", Json{{"ignored", true}});
    EXPECT_TRUE(reply.contains("result")) << reply.dump();
    return reply.value("result", Json("no result"));
  }

  XvfbServer server_{"1280x800x24"};
  testing::TempTree tree_;
  std::string browser_, other_;
};

TEST_F(DesktopWire, BrowserWindowWithoutWindowManager) {
  HostProcess host({"DISPLAY=" + server_.display()});
  EXPECT_EQ(browser_rect(host), Json()) << "nothing runs yet";

  auto first = window(browser_, {"--geometry", "40,30,320,200", "--pid-property"});
  EXPECT_EQ(browser_rect(host), rect(40, 30, 320, 200));

  // Windows in front that are not the browser's, or not normal ones, are passed over.
  auto other = window(other_, {"--geometry", "0,0,600,400", "--pid-property"});
  auto popup = window(browser_, {"--geometry", "30,20,100,100", "--override-redirect"});
  auto dialog = window(browser_, {"--geometry", "50,50,100,100", "--type", "dialog"});
  auto hidden = window(browser_, {"--geometry", "60,60,100,100", "--unmapped"});
  EXPECT_EQ(browser_rect(host), rect(40, 30, 320, 200));

  // The newest top-level is in front; its owner comes from the server (no
  // _NET_WM_PID on it).
  auto second = window(browser_, {"--geometry", "700,300,250,150", "--type", "normal"});
  EXPECT_EQ(browser_rect(host), rect(700, 300, 250, 150));
  second->stop();
  EXPECT_EQ(browser_rect(host), rect(40, 30, 320, 200));
  first->stop();
  EXPECT_EQ(browser_rect(host), Json());
}

TEST_F(DesktopWire, UnmappedBrowserWindowIsIgnored) {
  HostProcess host({"DISPLAY=" + server_.display()});
  auto hidden = window(browser_, {"--geometry", "10,10,300,300", "--unmapped", "--pid-property"});
  auto other = window(other_, {"--geometry", "20,20,300,300"});
  EXPECT_EQ(browser_rect(host), Json());
}

// The executable's name decides, not the name the process was started under:
// a link named like a browser runs the window client, whose /proc/PID/exe
// names the client.
TEST_F(DesktopWire, LinkNamedLikeABrowserIsNotOne) {
  const std::string link = tree_ / "firefox";
  ASSERT_EQ(symlink(PELAGON2_WINDOW_CLIENT_PATH, link.c_str()), 0);
  auto client = window(link, {"--geometry", "10,10,300,300", "--pid-property"});
  std::ifstream comm("/proc/" + std::to_string(client->pid()) + "/comm");
  std::string command;
  std::getline(comm, command);
  EXPECT_EQ(command, "firefox");  // what a command-name check alone would have trusted
  HostProcess host({"DISPLAY=" + server_.display()});
  EXPECT_EQ(browser_rect(host), Json());
}

TEST_F(DesktopWire, BrowserWindowUnderOpenbox) {
  Observer observer(server_.display());
  ASSERT_TRUE(observer.ok());
  testing::TempTree home;
  WindowManager wm(server_.display(), home.path());
  ASSERT_TRUE(wm.started());
  ASSERT_TRUE(observer.manager_running());

  HostProcess host({"DISPLAY=" + server_.display()});
  auto first = window(browser_, {"--geometry", "60,70,320,200", "--pid-property"});
  ASSERT_TRUE(wait_until([&] { return observer.managed(first->window()); }));
  const Json first_frame = observer.frame_of(first->window());
  // The frame is larger than the window we made: the decorations count.
  ASSERT_TRUE(first_frame.is_object());
  EXPECT_GT(first_frame["height"].get<long>(), 200);
  EXPECT_EQ(browser_rect(host), first_frame);

  auto second = window(browser_, {"--geometry", "500,300,200,100"});
  ASSERT_TRUE(wait_until([&] { return observer.managed(second->window()); }));
  const Json second_frame = observer.frame_of(second->window());
  EXPECT_EQ(browser_rect(host), second_frame);

  auto other = window(other_, {"--geometry", "0,0,900,700", "--pid-property"});
  ASSERT_TRUE(wait_until([&] { return observer.managed(other->window()); }));
  EXPECT_EQ(browser_rect(host), second_frame);

  second->stop();
  ASSERT_TRUE(wait_until([&] { return observer.frame_of(first->window()) == first_frame && browser_rect(host) == first_frame; }));

  // Without the window manager the windows are top-levels again.
  wm.stop();
  ASSERT_TRUE(wait_until([&] { return observer.frame_of(first->window()) != first_frame; }));
  const Json bare = observer.frame_of(first->window());
  EXPECT_EQ(bare["width"], 320);
  EXPECT_EQ(bare["height"], 200);
  EXPECT_TRUE(wait_until([&] { return browser_rect(host) == bare; })) << browser_rect(host).dump() << bare.dump();
}

// A window manager that is killed leaves its root properties behind; the
// windows are top-levels again, and new ones are not in its stale list.
TEST_F(DesktopWire, BrowserWindowAfterOpenboxIsKilled) {
  Observer observer(server_.display());
  ASSERT_TRUE(observer.ok());
  testing::TempTree home;
  WindowManager wm(server_.display(), home.path());
  ASSERT_TRUE(wm.started());
  ASSERT_TRUE(observer.manager_running());
  auto first = window(browser_, {"--geometry", "60,70,320,200", "--pid-property"});
  ASSERT_TRUE(wait_until([&] { return observer.managed(first->window()); }));
  const Json framed = observer.frame_of(first->window());

  wm.stop(SIGKILL);
  ASSERT_TRUE(wait_until([&] { return observer.frame_of(first->window()) != framed; }));
  ASSERT_FALSE(observer.root_windows("_NET_CLIENT_LIST_STACKING").empty()) << "the stale list this test is about";
  HostProcess host({"DISPLAY=" + server_.display()});
  const Json bare = observer.frame_of(first->window());
  EXPECT_EQ(bare["width"], 320);
  EXPECT_EQ(browser_rect(host), bare);

  auto second = window(browser_, {"--geometry", "500,300,200,100"});
  EXPECT_EQ(browser_rect(host), rect(500, 300, 200, 100));
}

// Windows coming and going while the host walks them: every request is
// answered, and the host lives on.
TEST_F(DesktopWire, WindowsVanishingMidWalk) {
  HostProcess host({"DISPLAY=" + server_.display()});
  std::atomic<bool> done{false};
  std::thread churn([&] {
    for (int round = 0; round < 12; ++round) {
      std::vector<std::unique_ptr<WindowClient>> clients;
      for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<WindowClient>(
            browser_, server_.display(),
            std::vector<std::string>{"--geometry", std::to_string(10 * i) + ",10,50,50"}));
      }
      clients.clear();
    }
    done = true;
  });
  int replies = 0;
  while (!done) {
    const Json result = browser_rect(host);
    EXPECT_TRUE(result.is_null() || (result.is_object() && result["width"] == 50)) << result.dump();
    ++replies;
  }
  churn.join();
  EXPECT_GT(replies, 0);
  EXPECT_EQ(host.request("get_version")["result"], "2.0.2");
}

// A stacking list of our own making, under a window manager that is only its
// check window: hundreds of windows, so the walk spans several batches of
// requests, and ids of windows that are gone, so some answers in the middle
// of a batch are errors. The windows around them must still be read right.
TEST_F(DesktopWire, BrowserWindowBehindManyAndVanishedWindows) {
  Observer observer(server_.display());
  ASSERT_TRUE(observer.ok());
  Display* d = observer.display();
  const Window root = DefaultRootWindow(d);
  const auto set_windows = [&](Window on, const char* property, const std::vector<Window>& values) {
    std::vector<long> items(values.begin(), values.end());
    XChangeProperty(d, on, XInternAtom(d, property, False), XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(items.data()), static_cast<int>(items.size()));
  };
  const Window check = XCreateWindow(d, root, 0, 0, 1, 1, 0, 0, InputOnly, CopyFromParent, 0, nullptr);
  set_windows(check, "_NET_SUPPORTING_WM_CHECK", {check});
  set_windows(root, "_NET_SUPPORTING_WM_CHECK", {check});

  auto browser = window(browser_, {"--geometry", "40,30,320,200", "--pid-property"});
  const Window browser_window = browser->window();
  const long extents[] = {1, 2, 3, 4};  // left, right, top, bottom
  XChangeProperty(d, browser_window, XInternAtom(d, "_NET_FRAME_EXTENTS", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(extents), 4);
  const Json framed = rect(39, 27, 323, 207);
  // A browser window without _NET_WM_PID: its owner is in the server's
  // answer among the batch's, whose neighbours are errors or other owners.
  auto unlabelled = window(browser_, {"--geometry", "500,300,200,100"});
  const Window unlabelled_window = unlabelled->window();

  // Ours: half with _NET_WM_PID, the others known to the server only.
  std::vector<Window> ours, gone;
  const long pid = getpid();
  for (int i = 0; i < 600; ++i) {
    const Window w = XCreateSimpleWindow(d, root, i % 50, i % 40, 30, 30, 0, 0, 0);
    if (i % 2 == 0) {
      XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&pid), 1);
    }
    XMapWindow(d, w);
    ours.push_back(w);
  }
  for (int i = 0; i < 200; ++i) gone.push_back(XCreateSimpleWindow(d, root, 0, 0, 10, 10, 0, 0, 0));
  for (const Window w : gone) XDestroyWindow(d, w);
  XSync(d, False);

  HostProcess host({"DISPLAY=" + server_.display()});
  // Each list bottom to top.
  const auto with_gone_between = [&](std::vector<Window> front) {
    std::vector<Window> list;
    for (std::size_t i = 0; i < front.size(); ++i) {
      list.push_back(front[i]);
      if (i < gone.size()) list.push_back(gone[i]);
    }
    return list;
  };
  const auto concat = [](std::vector<Window> a, const std::vector<Window>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Case {
    const char* name;
    std::vector<Window> stacking;
    Json expected;
  };
  const Case cases[] = {
      {"at the bottom of 600", concat({browser_window}, ours), framed},
      {"at the bottom, vanished ones between", with_gone_between(concat({browser_window}, ours)), framed},
      {"behind 200 vanished ones", concat({browser_window}, gone), framed},
      {"in the middle", concat(concat(std::vector<Window>(ours.begin(), ours.begin() + 300), {browser_window}),
                               with_gone_between(std::vector<Window>(ours.begin() + 300, ours.end()))),
       framed},
      {"on top of vanished ones", concat(gone, {browser_window}), framed},
      {"known to the server only, behind 600 and vanished ones", concat({unlabelled_window}, with_gone_between(ours)),
       rect(500, 300, 200, 100)},
      {"known to the server only, in a later batch than the other",
       concat(concat({browser_window}, with_gone_between(std::vector<Window>(ours.begin(), ours.begin() + 300))),
              concat({unlabelled_window}, std::vector<Window>(ours.begin() + 300, ours.end()))),
       rect(500, 300, 200, 100)},
      {"not listed", with_gone_between(ours), Json()},
  };
  for (const Case& c : cases) {
    set_windows(root, "_NET_CLIENT_LIST_STACKING", c.stacking);
    XSync(d, False);
    EXPECT_EQ(browser_rect(host), c.expected) << c.name;
  }
  EXPECT_EQ(host.request("get_version")["result"], "2.0.2");
}

TEST_F(DesktopWire, DisplayVanishing) {
  auto first = window(browser_, {"--geometry", "40,30,320,200"});
  HostProcess host({"DISPLAY=" + server_.display()});
  EXPECT_EQ(browser_rect(host), rect(40, 30, 320, 200));
  first.reset();
  server_.stop();
  EXPECT_EQ(browser_rect(host), Json());
  const Json status = host.request("get_permission_status");
  EXPECT_EQ(status["result"]["accessibility"], false) << status.dump();
  EXPECT_EQ(host.request("get_version")["result"], "2.0.2");
}

TEST(PermissionsWire, AccessibilityFollowsXTest) {
  struct Case {
    const char* name;
    std::vector<std::string> xvfb_args;
    bool server;
    bool accessibility;
  };
  const Case cases[] = {
      {"Xvfb with XTest", {}, true, true},
      {"Xvfb without XTest", {"-extension", "XTEST"}, true, false},
      {"no display", {}, false, false},
  };
  for (const Case& c : cases) {
    std::unique_ptr<XvfbServer> server;
    std::vector<std::string> env;
    const char* saved = std::getenv("DISPLAY");
    const std::string saved_display = saved != nullptr ? saved : "";
    unsetenv("DISPLAY");  // the host must not inherit one
    if (c.server) {
      server = std::make_unique<XvfbServer>("640x480x24", c.xvfb_args);
      ASSERT_TRUE(server->running()) << c.name;
      env.push_back("DISPLAY=" + server->display());
    }
    HostProcess host(env);
    if (saved != nullptr) setenv("DISPLAY", saved_display.c_str(), 1);

    const Json status = host.request("get_permission_status", Json());
    ASSERT_TRUE(status.contains("result")) << c.name << status.dump();
    EXPECT_EQ(status["result"]["accessibility"], c.accessibility) << c.name;
    // Capture needs nothing but a reachable server.
    EXPECT_EQ(status["result"]["screenRecording"], c.server) << c.name;
    EXPECT_EQ(status["result"].size(), 2u) << c.name;
    // Nobody to ask on X: a request answers the status.
    EXPECT_EQ(host.request("request_permission", Json{{"kind", "accessibility"}})["result"],
              (Json{{"granted", c.accessibility}, {"kind", "accessibility"}}))
        << c.name;
    EXPECT_EQ(host.request("request_permission", Json{{"kind", "screenRecording"}})["result"],
              (Json{{"granted", c.server}, {"kind", "screenRecording"}}))
        << c.name;
    // Without a server a capture lacks a monitor, not a permission.
    testing::TempTree tree;
    const std::string path = tree.path() + "/capture.png";
    const Json capture = host.request("capture_desktop", Json{{"path", path}});
    if (c.server) {
      EXPECT_EQ(capture["result"], path) << c.name << capture.dump();
    } else {
      EXPECT_EQ(capture["error"]["message"], "capture_failed: no monitors") << c.name << capture.dump();
    }
    // There is no settings page to open, and nothing is started.
    EXPECT_EQ(host.request("open_permission_pane", Json{{"kind", "screenRecording"}})["result"], true) << c.name;
    EXPECT_EQ(host.request("open_permission_pane", Json{{"kind", "screen"}})["error"]["message"],
              "bad_params: unknown permission pane 'screen'")
        << c.name;
  }
}

}  // namespace
}  // namespace pelagon2
