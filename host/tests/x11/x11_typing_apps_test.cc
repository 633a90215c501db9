// Typing over the wire into a real application: xterm in UTF-8 mode copies
// the bytes it makes of each key into a file, compared byte for byte. Run
// bare and under two window managers, whose reactions to the keyboard map
// changing (their own key grabs, focus handling) are part of what typing
// has to survive.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/temp_tree.h"
#include "support/x_apps.h"
#include "support/x_observer.h"
#include "support/xvfb_server.h"

namespace pelagon2 {
namespace {

// Typed after each text: a control key on every layout, so once its byte is
// in the file the terminal has handled everything typed before it.
constexpr char kEnd = '\x01';

class XtermTyping : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(observer.ok());
    wm = testing::start_window_manager(GetParam(), server.display(), dir.path());
    if (wm) {
      ASSERT_TRUE(wm->started()) << GetParam();
      ASSERT_TRUE(observer.manager_running()) << GetParam() << " did not take over";
    }
    xterm = std::make_unique<testing::XtermCat>(server.display(), dir.path());
    ASSERT_TRUE(xterm->ready()) << "xterm did not start";
    ASSERT_TRUE(xterm->focus(observer.display())) << "xterm did not get the focus";
    host = std::make_unique<testing::HostProcess>(std::vector<std::string>{"DISPLAY=" + server.display()});
  }

  // The bytes the terminal made of `text`; what arrived by the deadline when
  // the end marker does not come.
  std::string type(const std::string& text) {
    const std::size_t from = xterm->output().size();
    EXPECT_EQ(host->request("send_text", {{"text", text}}).value("result", Json()), Json(true)) << text;
    EXPECT_EQ(host->request("send_text", {{"text", "${KEY_CTRL+KEY_A}"}}).value("result", Json()), Json(true));
    std::string out;
    testing::wait_until(
        [&] {
          out = xterm->output().substr(from);
          return !out.empty() && out.back() == kEnd;
        },
        std::chrono::seconds(10));
    if (!out.empty() && out.back() == kEnd) out.pop_back();
    return out;
  }

  testing::XvfbServer server{"1280x800x24"};
  testing::TempTree dir;
  testing::XObserver observer{server.display()};
  std::unique_ptr<testing::Program> wm;
  std::unique_ptr<testing::XtermCat> xterm;
  std::unique_ptr<testing::HostProcess> host;
};

TEST_P(XtermTyping, TextArrivesByteForByte) {
  const std::string cases[] = {
      "Hello, World! ~`!@#$%^&*()_+{}|:\"<>?-=[]\\;',./ 0123456789",
      "caf\u00e9 \u00e0\u00e8\u00ec\u00f2\u00f9 \u00df\u00ff \u00c9\u00d6\u00d1\u00d8 \u00c0\u00c8\u00cc\u00d2\u00d9",
      "\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440! \u0421\u042a\u0415\u0428\u042c \u0416\u0415 "
      "\u0441\u044a\u0435\u0448\u044c \u0436\u0435",
      "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac \u0391\u0392\u0393 \u03b1\u03b2\u03b3 \u03a9\u03c9",
      "\u6771\u4eac \u65e5\u672c\u8a9e \u4e2d\u6587",
      "\u2713 \u20ac \u2192 \u221e \u00a9 \U0001F642",
      "e\u0301 a\u0308 n\u0303 \u0141\u0142 \u0150\u0151",
      "a\tb\tc",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(type(text), text) << (*GetParam() ? GetParam() : "no window manager");
  }
}

INSTANTIATE_TEST_SUITE_P(WindowManagers, XtermTyping, ::testing::Values("", "openbox", "metacity"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                           return std::string(*p.param ? p.param : "none");
                         });

}  // namespace
}  // namespace pelagon2
