// The X connection survives what real desktops do to it: requests on windows
// that are gone, a server that disappears, no server at all.

// gtest first: Xlib's macros (None, Bool, …) break its headers otherwise.
#include <gtest/gtest.h>

#include "platform/x11/x11_connection.h"

#include <cstdlib>
#include <string>

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

}  // namespace
}  // namespace pelagon2::platform::x11
