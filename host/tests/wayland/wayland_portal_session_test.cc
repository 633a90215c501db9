// The portal session in process, against gnome-shell's real desktop portal:
// the dialog answered as a person would (Share with or without the
// interaction switch, Cancel, no answer at all), what each answer grants,
// and input through the granted session reaching a native GTK client.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/wayland/portal_session.h"
#include "support/gnome_session.h"
#include "support/gnome_suite.h"
#include "support/portal_dialog.h"

namespace pelagon2 {
namespace {

using platform::wayland::gnome::PortalAccess;
using platform::wayland::gnome::PortalStart;
using platform::wayland::gnome::RemoteSession;
using platform::wayland::gnome::start_portal_session;
using testing::GnomeSession;
using testing::GnomeSuite;
using testing::GtkEvents;
using testing::PortalDialog;

constexpr std::uint32_t kLeftButton = 0x110;  // BTN_LEFT

// One gnome-shell with its portal for the whole program: a session start costs seconds.
class PortalSessionTest : public GnomeSuite<PortalSessionTest> {
 protected:
  static void SetUpTestSuite() {
    // This process is the portal's client: it reaches only the test's bus and folders.
    start_suite({.shell = true, .portal = true}, "events.jsonl", [] {
      for (const std::string& var : session_->env()) {
        const std::size_t eq = var.find('=');
        ::setenv(var.substr(0, eq).c_str(), var.substr(eq + 1).c_str(), 1);
      }
    });
  }
  void SetUp() override {
    if (session_->missing_programs() || !have_portal()) GTEST_SKIP() << session_->why() << " (or no desktop portal)";
    ASSERT_TRUE(session_->ready()) << session_->why();
    ASSERT_TRUE(gtk_ready_) << gtk_->text() << session_->log();
  }
  static bool have_portal() {
    return ::access("/usr/libexec/xdg-desktop-portal", X_OK) == 0 &&
           ::access("/usr/libexec/xdg-desktop-portal-gnome", X_OK) == 0;
  }

  // Starts a session while the dialog is answered with `choice`.
  static PortalStart start_answered(PortalDialog::Choice choice, std::string* dialog_why) {
    PortalDialog dialog(*session_);
    dialog.answer_async(choice);
    PortalStart start = start_portal_session();
    if (!dialog.wait()) *dialog_why = dialog.why();
    return start;
  }

};

TEST_F(PortalSessionTest, SharedWithInteractionGrantsTheMonitorAndInputThatReachesTheClient) {
  std::string dialog_why;
  PortalStart start = start_answered(PortalDialog::Choice::share, &dialog_why);
  ASSERT_TRUE(dialog_why.empty()) << dialog_why << "; the start: " << start.reason;
  ASSERT_NE(start.session, nullptr) << start.reason;
  RemoteSession& s = *start.session;
  EXPECT_TRUE(s.alive());
  EXPECT_TRUE(s.screen_granted());
  EXPECT_TRUE(s.input_granted());
  EXPECT_FALSE(s.has_clipboard());
  ASSERT_EQ(s.streams().size(), 1u);
  const auto& stream = s.streams()[0];
  EXPECT_NE(stream.node, 0u);
  EXPECT_EQ(stream.handle, std::to_string(stream.node));
  EXPECT_EQ(stream.output.x, 0);
  EXPECT_EQ(stream.output.y, 0);
  EXPECT_EQ(stream.output.width, 1280);
  EXPECT_EQ(stream.output.height, 800);
  EXPECT_TRUE(stream.output.primary);

  // The PipeWire remote is a connected socket the caller owns; a second one is opened on demand.
  const int fd = s.take_pipewire_fd();
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  const int again = s.take_pipewire_fd();
  EXPECT_GE(again, 0);
  EXPECT_NE(again, fd);
  ::close(fd);
  if (again >= 0) ::close(again);

  // A click in the red block, at the place GTK reports (window = screen: fullscreen at scale 1).
  ASSERT_TRUE(s.pointer_motion(stream, 150, 130).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the first press after entering a surface
  ASSERT_TRUE(s.pointer_button(kLeftButton, true).ok());
  ASSERT_TRUE(s.pointer_button(kLeftButton, false).ok());
  EXPECT_TRUE(testing::wait_until([&] { return gtk_->contains(R"("event": "button_release", "button": 1, "x": 150.0, "y": 130.0)"); }))
      << gtk_->text();
  EXPECT_TRUE(gtk_->contains(R"("event": "button_press", "button": 1, "x": 150.0, "y": 130.0)")) << gtk_->text();

  // Keys by keysym into the focused entry (the session's first key event is
  // lost, so a Shift goes first); Shift+k gives the capital.
  const std::uint32_t shift = 0xffe1;
  ASSERT_TRUE(s.keyboard_keysym(shift, true).ok());
  ASSERT_TRUE(s.keyboard_keysym(shift, false).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (std::uint32_t keysym : {std::uint32_t{'o'}, std::uint32_t{'k'}}) {
    ASSERT_TRUE(s.keyboard_keysym(keysym, true).ok());
    ASSERT_TRUE(s.keyboard_keysym(keysym, false).ok());
  }
  ASSERT_TRUE(s.keyboard_keysym(shift, true).ok());
  ASSERT_TRUE(s.keyboard_keysym('K', true).ok());
  ASSERT_TRUE(s.keyboard_keysym('K', false).ok());
  ASSERT_TRUE(s.keyboard_keysym(shift, false).ok());
  EXPECT_TRUE(testing::wait_until([&] { return gtk_->contains(R"("text": "okK")"); })) << gtk_->text();

  // The wheel: one step down.
  ASSERT_TRUE(s.pointer_axis_discrete(0, 1).ok());
  EXPECT_TRUE(testing::wait_until([&] { return gtk_->contains(R"("direction": "down")") || gtk_->contains(R"("dy": 1.0)"); }))
      << gtk_->text();

  EXPECT_FALSE(s.read_clipboard().ok());
  EXPECT_FALSE(s.offer_clipboard("x").ok());
}

TEST_F(PortalSessionTest, SharedWithoutInteractionGrantsTheScreenOnly) {
  std::string dialog_why;
  PortalStart start = start_answered(PortalDialog::Choice::share_without_input, &dialog_why);
  ASSERT_TRUE(dialog_why.empty()) << dialog_why << "; the start: " << start.reason;
  ASSERT_NE(start.session, nullptr) << start.reason;
  EXPECT_TRUE(start.session->screen_granted());
  EXPECT_FALSE(start.session->input_granted());
  ASSERT_EQ(start.session->streams().size(), 1u);
  // The portal refuses input the user did not allow, in its own words.
  const Done moved = start.session->pointer_motion(start.session->streams()[0], 10, 10);
  ASSERT_FALSE(moved.ok());
  EXPECT_NE(moved.error().find("pointer"), std::string::npos) << moved.error();
}

TEST_F(PortalSessionTest, CancelledDialogIsARefusalThatStandsForTheProcess) {
  PortalDialog dialog(*session_);
  dialog.answer_async(PortalDialog::Choice::cancel);
  PortalAccess access;
  EXPECT_EQ(access.session(), nullptr);
  EXPECT_EQ(access.request(), nullptr);
  ASSERT_TRUE(dialog.wait()) << dialog.why() << "; the start: " << access.reason();
  EXPECT_TRUE(access.refused());
  EXPECT_FALSE(access.reason().empty());
  // Asked again in the same process: no dialog, the answer stands.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(access.request(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  EXPECT_TRUE(access.refused());
}

TEST_F(PortalSessionTest, UnansweredDialogEndsAtTheDeadlineAndIsWithdrawn) {
  const auto before = std::chrono::steady_clock::now();
  PortalStart start = start_portal_session(std::chrono::seconds(4));
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_EQ(start.session, nullptr);
  EXPECT_FALSE(start.refused);
  EXPECT_NE(start.reason.find("in time"), std::string::npos) << start.reason;
  EXPECT_GE(took, std::chrono::seconds(4));
  EXPECT_LT(took, std::chrono::seconds(12));
  // The dialog went with the request: nothing is left to answer.
  PortalDialog dialog(*session_);
  dialog.answer_async(PortalDialog::Choice::share, std::chrono::seconds(5));
  EXPECT_FALSE(dialog.wait());
  EXPECT_EQ(dialog.why(), "the dialog never appeared");
}

}  // namespace
}  // namespace pelagon2
