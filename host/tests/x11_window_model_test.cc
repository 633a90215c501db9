// The X11 window list's decisions: browser names, the process table, and the
// entry a top-level window makes.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/x11/x11_window_model.h"
#include "support/temp_tree.h"

namespace pelagon2::platform::x11 {
namespace {

TEST(BrowserNames, ExecutableAndCommandNames) {
  struct Case {
    std::string name;
    NameSource source;
    std::optional<std::size_t> index;
  };
  const Case cases[] = {
      {"chrome", NameSource::executable, 0},
      {"chromium", NameSource::executable, 1},
      {"chromium-browser", NameSource::executable, 2},
      {"google-chrome", NameSource::command, 3},
      {"firefox", NameSource::command, 4},
      {"firefox-esr", NameSource::executable, 5},
      {"msedge", NameSource::executable, 6},
      {"microsoft-edge", NameSource::command, 7},
      {"brave", NameSource::executable, 8},
      {"brave-browser", NameSource::executable, 9},
      // The kernel cuts command names to 15 bytes.
      {"chromium-browse", NameSource::command, 2},
      {"chromium-browse", NameSource::executable, std::nullopt},
      {"chromium-browser", NameSource::command, 2},
      {"chromium-b", NameSource::command, std::nullopt},
      {"Chromium", NameSource::executable, std::nullopt},
      {"chrome ", NameSource::executable, std::nullopt},
      {"firefox-bin", NameSource::executable, std::nullopt},
      {"google-chrome-stable", NameSource::executable, std::nullopt},
      {"google-chrome-s", NameSource::command, std::nullopt},
      {"", NameSource::command, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(browser_index(c.name, c.source), c.index)
        << c.name << (c.source == NameSource::command ? " (command)" : " (executable)");
  }
}

// A process table laid out like /proc: per pid an "exe" link and a "comm" file.
class FakeProc {
 public:
  void process(const std::string& pid, const char* exe, const char* comm) {
    const std::string dir = tree_ / pid;
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
    if (exe != nullptr) {
      ASSERT_EQ(symlink(exe, (dir + "/exe").c_str()), 0);
    }
    if (comm != nullptr) testing::write_file(dir + "/comm", comm);
  }
  const std::string& root() const { return tree_.path(); }

 private:
  testing::TempTree tree_;
};

TEST(BrowserProcesses, ReadsExecutableThenCommand) {
  FakeProc proc;
  proc.process("100", "/usr/lib/chromium/chromium", "chromium\n");
  proc.process("200", nullptr, "firefox\n");  // executable not inspectable
  proc.process("300", "/opt/google/chrome/chrome (deleted)", "chrome\n");  // updated while running
  proc.process("50", "/opt/google/chrome/chrome", "chrome\n");
  proc.process("400", "/usr/bin/bash", "chromium\n");  // renamed itself: the executable decides
  proc.process("500", nullptr, "chromium-browse\n");
  proc.process("600", nullptr, nullptr);  // gone between listing and reading
  proc.process("700", "/tmp/x/firefox-esr", "");
  proc.process("800", "relative-name", nullptr);
  proc.process("900", "/usr/bin/ (deleted)", nullptr);
  proc.process("self", "/opt/google/chrome/chrome", nullptr);
  proc.process("12x", "/opt/google/chrome/chrome", nullptr);
  proc.process("3000000000", "/opt/google/chrome/chrome", nullptr);
  proc.process("-5", "/opt/google/chrome/chrome", nullptr);

  struct Case {
    std::int64_t pid;
    std::optional<std::string> name;
    NameSource source;
  };
  const Case cases[] = {
      {100, "chromium", NameSource::executable}, {200, "firefox", NameSource::command},
      {300, "chrome", NameSource::executable},   {400, "bash", NameSource::executable},
      {500, "chromium-browse", NameSource::command}, {600, std::nullopt, NameSource::command},
      {700, "firefox-esr", NameSource::executable}, {800, "relative-name", NameSource::executable},
      {900, std::nullopt, NameSource::command},  {12345678, std::nullopt, NameSource::command},
  };
  for (const Case& c : cases) {
    const std::optional<ProcessName> got = process_name(proc.root(), c.pid);
    ASSERT_EQ(got.has_value(), c.name.has_value()) << c.pid;
    if (!got) continue;
    EXPECT_EQ(got->name, *c.name) << c.pid;
    EXPECT_EQ(got->source, c.source) << c.pid;
  }
  // chrome (50, 300), chromium (100), chromium-browser (500), firefox (200),
  // firefox-esr (700).
  EXPECT_EQ(browser_pids_in(proc.root()), (std::vector<std::int32_t>{50, 300, 100, 500, 200, 700}));
  EXPECT_TRUE(browser_pids_in(proc.root() + "/missing").empty());
}

TEST(BrowserProcesses, RealProcessTable) {
  // This test program is no browser, and its own name reads from its executable.
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  const std::string path(self, static_cast<std::size_t>(n));
  const std::optional<ProcessName> name = process_name("/proc", getpid());
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(name->name, path.substr(path.rfind('/') + 1));
  EXPECT_EQ(name->source, NameSource::executable);
  for (const std::int32_t pid : browser_pids_in("/proc")) EXPECT_NE(pid, getpid());
}

TEST(WindowRecords, LayerAndOuterRectangle) {
  using Type = WindowFacts::Type;
  using Change = void (*)(WindowFacts&);
  const auto facts = [](Change change) {
    WindowFacts f;
    f.owner_pid = 42;
    f.viewable = true;
    f.type = Type::normal;
    f.x = 100, f.y = 50, f.width = 800, f.height = 600;
    change(f);
    return f;
  };
  struct Case {
    const char* name;
    WindowFacts facts;
    std::optional<std::int64_t> layer;  // nullopt: not listed
    double x = 0, y = 0, width = 0, height = 0;
  };
  const Case cases[] = {
      {"normal window", facts([](WindowFacts&) {}), 0, 100, 50, 800, 600},
      {"unmapped", facts([](WindowFacts& f) { f.viewable = false; }), std::nullopt},
      {"owner unknown", facts([](WindowFacts& f) { f.owner_pid.reset(); }), std::nullopt},
      {"no type, not transient", facts([](WindowFacts& f) { f.type = Type::unset; }), 0, 100, 50, 800, 600},
      {"no type, transient (a dialog)", facts([](WindowFacts& f) { f.type = Type::unset, f.transient = true; }),
       kOtherLayer, 100, 50, 800, 600},
      {"normal type wins over transient", facts([](WindowFacts& f) { f.transient = true; }), 0, 100, 50, 800, 600},
      {"dock, menu, tooltip …", facts([](WindowFacts& f) { f.type = Type::other; }), kOtherLayer, 100, 50, 800, 600},
      {"override-redirect popup", facts([](WindowFacts& f) { f.override_redirect = true; }), kOtherLayer, 100, 50,
       800, 600},
      {"input-only", facts([](WindowFacts& f) { f.input_only = true; }), kOtherLayer, 100, 50, 800, 600},
      {"frame extents widen the rectangle",
       facts([](WindowFacts& f) { f.frame = WindowFacts::Extents{1, 2, 22, 4}; }), 0, 99, 28, 803, 626},
      {"border and frame", facts([](WindowFacts& f) { f.border = 3, f.frame = WindowFacts::Extents{1, 1, 20, 1}; }), 0,
       96, 27, 808, 627},
      {"left of and above the origin",
       facts([](WindowFacts& f) { f.x = -1440, f.y = -5, f.frame = WindowFacts::Extents{0, 0, 10, 0}; }), 0, -1440,
       -15, 800, 610},
  };
  for (const Case& c : cases) {
    const std::optional<WindowRecord> got = window_record(c.facts);
    ASSERT_EQ(got.has_value(), c.layer.has_value()) << c.name;
    if (!got) continue;
    EXPECT_EQ(got->owner_pid, 42) << c.name;
    EXPECT_EQ(got->layer, c.layer) << c.name;
    EXPECT_EQ(got->bounds_state, WindowRecord::BoundsState::ok) << c.name;
    EXPECT_EQ(got->x, c.x) << c.name;
    EXPECT_EQ(got->y, c.y) << c.name;
    EXPECT_EQ(got->width, c.width) << c.name;
    EXPECT_EQ(got->height, c.height) << c.name;
  }
}

}  // namespace
}  // namespace pelagon2::platform::x11
