// The private GNOME session the GNOME and portal tests run on: its services
// answer on its own bus, a native GTK client maps on its compositor, and
// nothing of it is left once it is gone.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <string>

#include "support/gnome_session.h"

namespace pelagon2 {
namespace {

using testing::GnomeSession;
using testing::GnomeSessionOptions;
using testing::GtkEvents;

bool process_exists(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH); }

TEST(GnomeSession, MutterServesItsOwnBusAndAGtkClientMaps) {
  pid_t compositor = -1, pipewire = -1;
  std::string runtime;
  {
    GnomeSession session;
    if (session.missing_programs()) GTEST_SKIP() << session.why();
    ASSERT_TRUE(session.ready()) << session.why();
    runtime = session.runtime_dir();
    struct stat st {};
    ASSERT_EQ(::stat(runtime.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const char* name : {"org.gnome.Mutter.RemoteDesktop", "org.gnome.Mutter.ScreenCast",
                             "org.gnome.Mutter.DisplayConfig"})
      EXPECT_TRUE(session.name_owned(name)) << name;
    EXPECT_FALSE(session.name_owned("org.gnome.Shell"));
    const std::string events = session.home() + "/events.jsonl";
    GtkEvents gtk(session, events);
    ASSERT_TRUE(gtk.wait_ready()) << gtk.text() << session.log();
    EXPECT_TRUE(gtk.contains("\"width\": 1280")) << gtk.text();
    compositor = session.compositor_pid();
    pipewire = session.pipewire_pid();
    EXPECT_TRUE(process_exists(compositor));
    EXPECT_TRUE(process_exists(pipewire));
  }
  EXPECT_FALSE(process_exists(compositor));
  EXPECT_FALSE(process_exists(pipewire));
  EXPECT_FALSE(std::filesystem::exists(runtime));
}

TEST(GnomeSession, MutterComesBackAfterItWasKilled) {
  GnomeSession session;
  if (session.missing_programs()) GTEST_SKIP() << session.why();
  ASSERT_TRUE(session.ready()) << session.why();
  const pid_t first = session.compositor_pid();
  session.kill_compositor();
  EXPECT_TRUE(testing::wait_until([&] { return !session.name_owned("org.gnome.Mutter.RemoteDesktop"); }));
  ASSERT_TRUE(session.restart_compositor()) << session.why();
  EXPECT_NE(session.compositor_pid(), first);
  EXPECT_TRUE(session.name_owned("org.gnome.Mutter.RemoteDesktop"));
}

TEST(GnomeSession, ShellLeavesTheOverviewAndOffersThePortal) {
  GnomeSession session(GnomeSessionOptions{.shell = true, .portal = true});
  if (session.missing_programs()) GTEST_SKIP() << session.why();
  ASSERT_TRUE(session.ready()) << session.why();
  EXPECT_TRUE(session.name_owned("org.gnome.Shell"));
  const testing::CommandResult names =
      session.gdbus({"--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus", "--method",
                     "org.freedesktop.DBus.ListActivatableNames"});
  ASSERT_TRUE(names.ok);
  EXPECT_NE(names.out.find("org.freedesktop.portal.Desktop"), std::string::npos) << names.out;
}

}  // namespace
}  // namespace pelagon2
