// Typing over the wire into real applications: xterm in UTF-8 mode copies
// the bytes it makes of each key into a file, compared byte for byte. Run
// bare and under two window managers, whose reactions to the keyboard map
// changing (their own key grabs, focus handling) are part of what typing
// has to survive.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <ostream>
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

// A private screen under a window manager (none for ""), and the host
// that types on it.
class TypingDesktop {
 protected:
  void start_window_manager(const std::string& name) {
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(observer.ok());
    wm = testing::start_window_manager(name, server.display(), dir.path());
    if (!wm) return;
    ASSERT_TRUE(wm->started()) << name;
    ASSERT_TRUE(observer.manager_running()) << name << " did not take over";
  }
  void start_host() {
    host = std::make_unique<testing::HostProcess>(std::vector<std::string>{"DISPLAY=" + server.display()});
  }

  testing::XvfbServer server{"1280x800x24"};
  testing::TempTree dir;
  testing::XObserver observer{server.display()};
  std::unique_ptr<testing::Program> wm;
  std::unique_ptr<testing::HostProcess> host;
};

class XtermTyping : public ::testing::TestWithParam<const char*>, protected TypingDesktop {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(start_window_manager(GetParam()));
    xterm = std::make_unique<testing::XtermCat>(server.display(), dir.path());
    ASSERT_TRUE(xterm->ready()) << "xterm did not start";
    ASSERT_TRUE(xterm->focus(observer.display())) << "xterm did not get the focus";
    start_host();
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

  std::unique_ptr<testing::XtermCat> xterm;
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

// The same through the two toolkits most desktop applications are written
// with: each decodes keys with its own keyboard code (xkbcommon on X11), not
// Xlib's. The field's whole text is selected before each string, so typing
// replaces it.
struct ToolkitCase {
  const char* script;
  const char* window_manager;
  friend void PrintTo(const ToolkitCase& c, std::ostream* os) { *os << c.script << " under " << c.window_manager; }
};

class ToolkitTyping : public ::testing::TestWithParam<ToolkitCase>, protected TypingDesktop {
 protected:
  void SetUp() override {
    const std::string script = std::string(PELAGON2_TEST_APPS_DIR) + "/" + GetParam().script;
    if (!toolkit_available(GetParam().script)) GTEST_SKIP() << GetParam().script << ": the toolkit's bindings are missing";
    ASSERT_NO_FATAL_FAILURE(start_window_manager(GetParam().window_manager));
    ASSERT_TRUE(wm) << "the toolkit fields are typed into under a window manager";
    entry = std::make_unique<testing::ToolkitEntry>(script, server.display(), dir.path());
    ASSERT_TRUE(entry->ready()) << script << " did not show its window";
    ASSERT_TRUE(entry->focus(observer.display())) << "the field did not get the focus";
    start_host();
  }

  static bool toolkit_available(const std::string& script) {
    const std::string module = script.rfind("gtk", 0) == 0 ? "gi" : "PyQt5";
    const std::string command = "/usr/bin/python3 -c 'import " + module + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  // The field's text once it equals `text`, or what it holds at the deadline.
  std::string type(const std::string& text) {
    EXPECT_EQ(host->request("send_text", {{"text", "${KEY_CTRL+KEY_A}" + text}}).value("result", Json()), Json(true));
    std::string got;
    testing::wait_until(
        [&] {
          got = entry->text();
          return got == text;
        },
        std::chrono::seconds(5));
    return got;
  }

  std::unique_ptr<testing::ToolkitEntry> entry;
};

TEST_P(ToolkitTyping, TextArrivesExactly) {
  const std::string cases[] = {
      "Hello, World! ~`!@#$%^&*()_+{}|:\"<>?-=[]\\;',./ 0123456789",
      "caf\u00e9 \u00df\u00ff \u00c9\u00d6\u00d1\u00d8 \u00e9\u00f6\u00f1\u00f8",
      "\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440! \u0416\u0416 \u0436\u0436",
      "\u03a9\u03c9 \u0141\u0142 \u0150\u0151 Gr\u00fc\u00dfe aus K\u00f6ln \u2014 \u6771\u4eac \u2713 \u00bd\u20ac",
      "e\u0301 a\u0308 n\u0303",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(type(text), text) << GetParam().script << " under " << GetParam().window_manager;
  }
}

INSTANTIATE_TEST_SUITE_P(Toolkits, ToolkitTyping,
                         ::testing::Values(ToolkitCase{"gtk_entry.py", "openbox"}, ToolkitCase{"gtk_entry.py", "metacity"},
                                           ToolkitCase{"qt_line_edit.py", "openbox"},
                                           ToolkitCase{"qt_line_edit.py", "metacity"}),
                         [](const ::testing::TestParamInfo<ToolkitCase>& p) {
                           return std::string(p.param.script[0] == 'g' ? "gtk_" : "qt_") + p.param.window_manager;
                         });

}  // namespace
}  // namespace pelagon2
