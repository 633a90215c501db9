// The browser window as the host finds it when a real Chromium, with its
// window on a private X server under a window manager, starts the host.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "browser/browser_session.h"
#include "support/x_clients.h"
#include "support/xvfb_server.h"

namespace pelagon2::testing {
namespace {

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

// The test's own look at the server: the frame the window manager gave the
// newest managed window of a process.
class Observer {
 public:
  explicit Observer(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
  ~Observer() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }

  bool manager_running() { return !property_values(DefaultRootWindow(display_), "_NET_SUPPORTING_WM_CHECK").empty(); }

  // Frame of the topmost managed window whose _NET_WM_PID is `pid`; null
  // when there is none.
  Json frame_of_process(pid_t pid) {
    XSync(display_, False);
    const std::vector<unsigned long> clients =
        property_values(DefaultRootWindow(display_), "_NET_CLIENT_LIST_STACKING");
    for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
      const std::vector<unsigned long> owner = property_values(*it, "_NET_WM_PID");
      if (owner.size() == 1 && owner[0] == static_cast<unsigned long>(pid)) return frame_of(*it);
    }
    return Json();
  }

 private:
  std::vector<unsigned long> property_values(Window window, const char* property) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(display_, window, XInternAtom(display_, property, False), 0, 4096, False, AnyPropertyType,
                           &type, &format, &count, &after, &data) == Success &&
        data != nullptr && format == 32) {
      const auto* values = reinterpret_cast<const unsigned long*>(data);
      out.assign(values, values + count);
    }
    if (data != nullptr) XFree(data);
    return out;
  }

  // The rectangle the top-level window holding `window` covers on the root.
  Json frame_of(Window window) {
    Window current = window;
    for (;;) {
      Window root = 0, parent = 0;
      Window* children = nullptr;
      unsigned int count = 0;
      if (!XQueryTree(display_, current, &root, &parent, &children, &count)) return Json();
      if (children != nullptr) XFree(children);
      if (parent == root) break;
      current = parent;
    }
    XWindowAttributes a;
    if (!XGetWindowAttributes(display_, current, &a)) return Json();
    return Json{
        {"height", a.height + 2 * a.border_width}, {"width", a.width + 2 * a.border_width}, {"x", a.x}, {"y", a.y}};
  }

  Display* display_;
};

class BrowserWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }

  void SetUp() override {
    if (!chromium_available()) GTEST_SKIP() << "no Chromium at " << chromium_executable();
    ASSERT_TRUE(server_.running());
    observer_ = std::make_unique<Observer>(server_.display());
    ASSERT_TRUE(observer_->ok());
    wm_ = std::make_unique<WindowManager>(server_.display(), home_.path());
    ASSERT_TRUE(wm_->started());
    ASSERT_TRUE(wait_until([&] { return observer_->manager_running(); }));

    BrowserOptions options;
    options.display = server_.display();
    // The window manager draws the frame, as on most desktops.
    options.preferences = {{"browser", {{"custom_chrome_frame", false}}}};
    options.arguments = {"--window-position=120,90", "--window-size=800,500"};
    browser_ = std::make_unique<BrowserSession>(options);
    ASSERT_TRUE(browser_->start()) << browser_->error() << "\nbrowser output:\n" << browser_->log_tail();
  }

  void TearDown() override {
    if (browser_) {
      EXPECT_EQ(browser_->stop_and_list_leftovers(), "");
    }
    browser_.reset();
    wm_.reset();
  }

  Json host_rect() {
    const Json message = {{"id", 1}, {"method", "get_active_browser_outer_rect"}, {"params", Json::object()}};
    std::optional<Json> value = browser_->call("callHost", Json::array({message}));
    EXPECT_TRUE(value.has_value()) << browser_->error();
    if (!value) return Json("no answer");
    EXPECT_FALSE(value->contains("browserError")) << value->dump();
    EXPECT_TRUE((*value)["reply"].contains("result")) << value->dump();
    return (*value)["reply"].value("result", Json("no result"));
  }

  // The window that holds the page, as DevTools names it.
  std::optional<int> window_id() {
    std::optional<Json> targets = browser_->command("Target.getTargets", Json::object());
    if (!targets) return std::nullopt;
    for (const Json& info : (*targets)["result"]["targetInfos"]) {
      if (info.value("type", "") != "page") continue;
      std::optional<Json> window =
          browser_->command("Browser.getWindowForTarget", {{"targetId", info.value("targetId", "")}});
      if (window) return (*window)["result"].value("windowId", 0);
    }
    return std::nullopt;
  }

  XvfbServer server_{"1280x800x24"};
  TempTree home_;
  std::unique_ptr<Observer> observer_;
  std::unique_ptr<WindowManager> wm_;
  std::unique_ptr<BrowserSession> browser_;
};

TEST_F(BrowserWindowTest, ReportsTheBrowserWindowFrame) {
  Json frame;
  ASSERT_TRUE(wait_until([&] { return (frame = observer_->frame_of_process(browser_->pid())).is_object(); }))
      << "the browser's window was never managed";
  // Decorations make the frame larger than the window asked for.
  EXPECT_GE(frame["width"].get<int>(), 800) << frame.dump();
  EXPECT_GE(frame["height"].get<int>(), 500) << frame.dump();
  EXPECT_TRUE(wait_until([&] { return host_rect() == frame; })) << host_rect().dump() << " vs " << frame.dump();

  // Moved and resized by the browser itself: the host follows.
  const std::optional<int> id = window_id();
  ASSERT_TRUE(id.has_value()) << browser_->error();
  ASSERT_TRUE(browser_->command(
      "Browser.setWindowBounds",
      {{"windowId", *id}, {"bounds", {{"left", 300}, {"top", 200}, {"width", 640}, {"height", 400}}}}))
      << browser_->error();
  Json moved;
  ASSERT_TRUE(wait_until([&] {
    moved = observer_->frame_of_process(browser_->pid());
    return moved.is_object() && moved != frame && moved["width"].get<int>() < 800;
  })) << observer_->frame_of_process(browser_->pid()).dump();
  EXPECT_TRUE(wait_until([&] { return host_rect() == moved; })) << host_rect().dump() << " vs " << moved.dump();
}

}  // namespace
}  // namespace pelagon2::testing
