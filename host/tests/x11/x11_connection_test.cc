// The X connection survives what real desktops do to it: requests on windows
// that are gone, a server that disappears or stops answering, no server at
// all. Each failure fails the call that met it, within the deadline, and
// leaves neither a crash nor an open descriptor behind.

#include <gtest/gtest.h>

#include "platform/x11/x11_connection.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <xcb/bigreq.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "support/stopped_server.h"
#include "support/x_socket_proxy.h"
#include "support/xvfb_server.h"

namespace pelagon2::platform::x11 {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::Rescue;
using testing::ScopedDisplayEnv;
using testing::XCutRule;
using testing::XSocketProxy;
using testing::XvfbServer;

// A call that waited for a stopped server gave up at the deadline: not much
// sooner (it did wait), and not much later, with room for a loaded machine.
constexpr auto kAtMost = 3 * kServerDeadline;
constexpr auto kAtLeast = kServerDeadline * 9 / 10;
// What "at once" means for a call that must not wait for the server.
constexpr milliseconds kAtOnce{kServerDeadline / 4};

milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

int open_descriptors() { return testing::descriptors_of(); }

// SIGSTOP for a scope: the server keeps its sockets and reads nothing.
class StoppedServer {
 public:
  explicit StoppedServer(pid_t pid) : pid_(pid) { kill(pid_, SIGSTOP); }
  ~StoppedServer() { resume(); }
  StoppedServer(const StoppedServer&) = delete;
  StoppedServer& operator=(const StoppedServer&) = delete;
  void resume() {
    if (pid_ > 0) kill(pid_, SIGCONT);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};


TEST(XConnection, NoServerMeansNoConnectionAtOnce) {
  for (const char* value : {static_cast<const char*>(nullptr), "", ":9999", "nonsense", ":abc", "::0",
                            "host-that-does-not-resolve.invalid:0", "unix:9998.0"}) {
    SCOPED_TRACE(value ? value : "(unset)");
    begin_request();
    ScopedDisplayEnv env(value);
    const auto start = Clock::now();
    EXPECT_EQ(XConnection::open(), nullptr);
    EXPECT_LT(since(start), kAtOnce);
  }
}

TEST(XConnection, ProtocolErrorsFailTheCallNotTheConnection) {
  XvfbServer server("320x200x24");
  ASSERT_TRUE(server.running());
  ScopedDisplayEnv env(server.display().c_str());
  begin_request();
  auto connection = XConnection::open();
  ASSERT_NE(connection, nullptr);
  xcb_connection_t* c = connection->get();
  constexpr xcb_window_t kNoSuchWindow = 0x7fffff0;

  // A request with a reply: no reply, the connection still fine.
  EXPECT_EQ(connection->reply<xcb_get_geometry_reply_t>(xcb_get_geometry(c, kNoSuchWindow).sequence), nullptr);
  EXPECT_TRUE(connection->alive());

  // Requests without one: the error shows at the next sync, and only until cleared.
  connection->clear_error();
  xcb_map_window(c, kNoSuchWindow);
  EXPECT_TRUE(connection->sync_failed());
  connection->clear_error();
  xcb_map_window(c, connection->root());
  EXPECT_FALSE(connection->sync_failed());

  // Requests pipelined around a failing one are answered in order.
  const auto before = xcb_get_geometry(c, connection->root()).sequence;
  const auto failing = xcb_get_geometry(c, kNoSuchWindow).sequence;
  const auto after = xcb_get_geometry(c, connection->root()).sequence;
  const auto first = connection->reply<xcb_get_geometry_reply_t>(before);
  EXPECT_EQ(connection->reply<xcb_get_geometry_reply_t>(failing), nullptr);
  const auto last = connection->reply<xcb_get_geometry_reply_t>(after);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(first->width, 320);
  EXPECT_EQ(last->height, 200);
  EXPECT_TRUE(connection->alive());
}

TEST(XConnection, VanishingServerMarksTheConnectionDead) {
  XvfbServer server("320x200x24");
  ASSERT_TRUE(server.running());
  ScopedDisplayEnv env(server.display().c_str());
  begin_request();
  auto connection = XConnection::open();
  ASSERT_NE(connection, nullptr);
  EXPECT_NE(connection->extension(xcb_big_requests_id), nullptr);
  server.stop();
  const auto start = Clock::now();
  EXPECT_EQ(connection->reply<xcb_get_geometry_reply_t>(xcb_get_geometry(connection->get(), connection->root()).sequence),
            nullptr);
  EXPECT_FALSE(connection->alive());
  EXPECT_TRUE(connection->sync_failed());
  EXPECT_FALSE(connection->flush());
  EXPECT_EQ(connection->extension(xcb_big_requests_id), nullptr);
  EXPECT_LT(since(start), kAtOnce);  // a closed socket is no stall
  connection.reset();  // closing a dead connection must not end the process either
  EXPECT_EQ(XConnection::open(), nullptr);
}

// A server stopped (SIGSTOP, or wedged, or swapped out) keeps accepting
// connections into its backlog and never answers. Every kind of wait gives up
// at the deadline and marks the display stalled for the rest of the request;
// the next request tries again, and once the server runs again all works.
TEST(XConnection, StoppedServerFailsEachWaitAtTheDeadline) {
  XvfbServer server("320x200x24");
  ASSERT_TRUE(server.running());
  ScopedDisplayEnv env(server.display().c_str());
  const int descriptors = open_descriptors();
  begin_request();
  auto for_reply = XConnection::open();
  auto for_sync = XConnection::open();
  auto for_guarded = XConnection::open();
  ASSERT_TRUE(for_reply && for_sync && for_guarded);
  StoppedServer stopped(server.pid());

  struct Wait {
    const char* what;
    XConnection* connection;
    bool (*fails)(XConnection&);
  };
  const Wait waits[] = {
      {"reply", for_reply.get(),
       [](XConnection& x) {
         return x.reply<xcb_get_geometry_reply_t>(xcb_get_geometry(x.get(), x.root()).sequence) == nullptr;
       }},
      {"sync_failed", for_sync.get(),
       [](XConnection& x) {
         x.clear_error();
         xcb_map_window(x.get(), x.root());
         return x.sync_failed();
       }},
      {"guarded", for_guarded.get(),
       [](XConnection& x) {
         // A library call that blocks inside until the server answers.
         xcb_get_input_focus_reply_t* focus = x.guarded(
             [&] { return xcb_get_input_focus_reply(x.get(), xcb_get_input_focus(x.get()), nullptr); });
         const bool failed = focus == nullptr;
         std::free(focus);
         return failed;
       }},
  };
  Clock::time_point start;
  for (const Wait& wait : waits) {
    SCOPED_TRACE(wait.what);
    const Rescue rescue(server.pid(), 2 * kAtMost);
    begin_request();
    EXPECT_TRUE(wait.connection->alive());
    start = Clock::now();
    EXPECT_TRUE(wait.fails(*wait.connection));
    const milliseconds waited = since(start);
    EXPECT_GE(waited, kAtLeast);
    EXPECT_LT(waited, kAtMost);
    EXPECT_FALSE(wait.connection->alive());

    // The same request meets the stalled server no more: no new connection,
    // and a dead one fails again at once.
    start = Clock::now();
    EXPECT_EQ(XConnection::open(), nullptr);
    EXPECT_TRUE(wait.fails(*wait.connection));
    EXPECT_LT(since(start), kAtOnce);
  }

  // A blocking library call on a connection given up on returns at once too,
  // though the library itself does not know the connection is gone.
  {
    const Rescue rescue(server.pid(), 2 * kAtMost);
    start = Clock::now();
    xcb_connection_t* c = for_reply->get();
    xcb_get_input_focus_reply_t* focus =
        for_reply->guarded([&] { return xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr); });
    EXPECT_EQ(focus, nullptr);
    std::free(focus);
    EXPECT_LT(since(start), kAtOnce);
  }

  // A connection attempt of a new request waits out the handshake once.
  const Rescue rescue(server.pid(), 2 * kAtMost);
  begin_request();
  start = Clock::now();
  EXPECT_EQ(XConnection::open(), nullptr);
  const milliseconds waited = since(start);
  EXPECT_GE(waited, kAtLeast);
  EXPECT_LT(waited, kAtMost);
  start = Clock::now();
  EXPECT_EQ(XConnection::open(), nullptr);
  EXPECT_LT(since(start), kAtOnce);

  // Running again, the next request works as before.
  stopped.resume();
  begin_request();
  auto connection = XConnection::open();
  ASSERT_NE(connection, nullptr);
  const auto geometry =
      connection->reply<xcb_get_geometry_reply_t>(xcb_get_geometry(connection->get(), connection->root()).sequence);
  ASSERT_NE(geometry, nullptr);
  EXPECT_EQ(geometry->width, 320);
  EXPECT_FALSE(connection->sync_failed());
  EXPECT_NE(connection->extension(xcb_big_requests_id), nullptr);
  EXPECT_TRUE(connection->alive());

  connection.reset();
  for_reply.reset();
  for_sync.reset();
  for_guarded.reset();
  EXPECT_EQ(open_descriptors(), descriptors);
}

// Connecting makes round trips before the connection is ours; a server
// dying right then must not end the process nor leave its socket open. The
// relay cuts the handshake at each of its steps; a child then connects again
// and again while the server goes away at a different moment each round.
TEST(XConnection, ServerDyingDuringTheHandshakeNeverEndsTheProcess) {
  XvfbServer server("64x64x24");
  ASSERT_TRUE(server.running());
  struct Cut {
    const char* what;
    XCutRule rule;
  };
  const Cut cuts[] = {
      {"before the setup request", XCutRule::setup_request(0)},
      {"within the setup request", XCutRule::setup_request(6)},
      {"before the setup reply", XCutRule::setup_reply(0)},
      {"within the setup reply's header", XCutRule::setup_reply(5)},
      {"within the setup reply's screens", XCutRule::setup_reply(100)},
  };
  const int descriptors = open_descriptors();
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.what);
    XSocketProxy proxy(server.display(), cut.rule);
    ASSERT_TRUE(proxy.running());
    ScopedDisplayEnv env(proxy.display().c_str());
    begin_request();
    const auto start = Clock::now();
    EXPECT_EQ(XConnection::open(), nullptr);
    EXPECT_LT(since(start), kAtOnce);
    EXPECT_TRUE(proxy.cut());
    auto next = XConnection::open();  // the cut is made once
    ASSERT_NE(next, nullptr);
    EXPECT_FALSE(next->sync_failed());
  }
  EXPECT_EQ(open_descriptors(), descriptors);

  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    XvfbServer dying("64x64x24");
    ASSERT_TRUE(dying.running());
    ScopedDisplayEnv env(dying.display().c_str());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGPIPE, SIG_IGN);  // as the host does
      const int before = open_descriptors();
      for (int i = 0; i < 1000; ++i) {
        begin_request();
        if (auto connection = XConnection::open()) connection->sync_failed();
      }
      _exit(open_descriptors() > before ? 2 : 0);
    }
    std::this_thread::sleep_for(milliseconds(15 + 4 * round));
    dying.stop();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: sockets left open";
  }
}

TEST(XConnection, OpeningAndFailingLeavesNoDescriptorBehind) {
  XvfbServer server("64x64x24");
  ASSERT_TRUE(server.running());
  ScopedDisplayEnv env(server.display().c_str());
  begin_request();
  // The first connection may load what stays loaded (the authority file's
  // reader, the resolver); count after it.
  ASSERT_NE(XConnection::open(), nullptr);
  const int descriptors = open_descriptors();
  for (int i = 0; i < 200; ++i) {
    begin_request();
    auto connection = XConnection::open();
    ASSERT_NE(connection, nullptr);
    connection->clear_error();
    xcb_map_window(connection->get(), 0x7fffff0);  // fails
    EXPECT_TRUE(connection->sync_failed());
    EXPECT_NE(connection->extension(xcb_big_requests_id), nullptr);
  }
  EXPECT_EQ(open_descriptors(), descriptors);
  server.stop();
  const int reserved = open_descriptors();  // the stopped server's number, held
  EXPECT_EQ(reserved, descriptors + 1);
  for (const char* value : {server.display().c_str(), ":9999", "nonsense"}) {
    ScopedDisplayEnv other(value);
    for (int i = 0; i < 50; ++i) {
      begin_request();
      EXPECT_EQ(XConnection::open(), nullptr) << value;
    }
  }
  EXPECT_EQ(open_descriptors(), reserved);
}

}  // namespace
}  // namespace pelagon2::platform::x11
