// The X connection survives what real desktops do to it: requests on windows
// that are gone, a server that disappears, no server at all.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include "platform/x11/xlib_connection.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/xvfb_server.h"

namespace pelagon2::platform::x11 {
namespace {

using testing::ScopedDisplayEnv;

TEST(XConnection, NoServerMeansNoConnection) {
  for (const char* value : {static_cast<const char*>(nullptr), "", ":9999", "nonsense"}) {
    ScopedDisplayEnv env(value);
    EXPECT_EQ(XConnection::open(), nullptr) << (value ? value : "(unset)");
  }
}

TEST(XConnection, ProtocolErrorsFailTheCallNotTheProcess) {
  testing::XvfbServer server;
  ASSERT_TRUE(server.running());
  ScopedDisplayEnv env(server.display().c_str());
  auto connection = XConnection::open();
  ASSERT_NE(connection, nullptr);
  connection->clear_error();
  XWindowAttributes attributes;
  XGetWindowAttributes(connection->display(), 0x7fffff0, &attributes);  // no such window
  EXPECT_TRUE(connection->sync_failed());
  connection->clear_error();
  XGetWindowAttributes(connection->display(), connection->root(), &attributes);
  EXPECT_FALSE(connection->sync_failed());
}

TEST(XConnection, VanishingServerMarksTheConnectionDead) {
  testing::XvfbServer server;
  ASSERT_TRUE(server.running());
  ScopedDisplayEnv env(server.display().c_str());
  auto connection = XConnection::open();
  ASSERT_NE(connection, nullptr);
  server.stop();
  connection->clear_error();
  XWindowAttributes attributes;
  XGetWindowAttributes(connection->display(), connection->root(), &attributes);
  EXPECT_TRUE(connection->sync_failed());
  EXPECT_FALSE(connection->alive());
  connection.reset();  // closing a dead connection must not end the process either
  SUCCEED();
}

int open_descriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

// Connecting makes round trips before the connection is ours to guard; a
// server dying right then must not end the process (Xlib's default) nor leave
// its socket open. A child connects again and again while the server goes away
// at a different moment each round.
TEST(XConnection, ServerDyingDuringTheHandshakeNeverEndsTheProcess) {
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    testing::XvfbServer server("64x64x24");
    ASSERT_TRUE(server.running());
    ScopedDisplayEnv env(server.display().c_str());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGPIPE, SIG_IGN);  // as the host does
      const int before = open_descriptors();
      for (int i = 0; i < 2000; ++i) {
        if (auto connection = XConnection::open()) connection->sync_failed();
      }
      _exit(open_descriptors() > before + 1 ? 2 : 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(15 + 4 * round));
    server.stop();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: Xlib ended the process; 2: sockets left open";
  }
}

}  // namespace
}  // namespace pelagon2::platform::x11
