// The GNOME route when mutter or PipeWire goes away under a running host: the
// requests that need them fail in the usual forms within a deadline, and the
// first request after they are back works on a new session.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "support/gnome_session.h"
#include "support/host_process.h"
#include "support/temp_tree.h"

namespace pelagon2 {
namespace {

using testing::GnomeSession;
using testing::GtkEvents;
using testing::HostProcess;

Json rect(long x, long y, long w, long h) { return Json{{"height", h}, {"width", w}, {"x", x}, {"y", y}}; }

// How long a request to a host whose compositor is gone may take: the
// session start's deadline (5 s) plus the calls' own, with room for a loaded machine.
constexpr auto kFailureDeadline = std::chrono::seconds(15);

class GnomeFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (session_.missing_programs()) GTEST_SKIP() << session_.why();
    ASSERT_TRUE(session_.ready()) << session_.why() << session_.log();
    std::vector<std::string> env = session_.env();
    env.push_back("TMPDIR=" + tree_.path());
    host_ = std::make_unique<HostProcess>(env);
  }

  std::unique_ptr<GtkEvents> gtk() {
    auto client = std::make_unique<GtkEvents>(session_, session_.home() + "/gtk-" + std::to_string(++clients_) + ".jsonl");
    EXPECT_TRUE(client->wait_ready()) << client->text() << session_.log();
    return client;
  }

  // A request's reply and how long it took.
  std::pair<Json, std::chrono::steady_clock::duration> timed(const char* method, const Json& params) {
    const auto start = std::chrono::steady_clock::now();
    Json reply = host_->request(method, params);
    return {reply, std::chrono::steady_clock::now() - start};
  }

  // The desktop works end to end: the client's red block is found, and a click reaches it.
  void expect_working(GtkEvents& client) {
    auto releases = [&] {
      std::size_t n = 0;
      for (const std::string& line : client.lines()) n += line.find("\"button_release\"") != std::string::npos;
      return n;
    };
    const std::size_t before = releases();
    // The compositor animates a window's appearance: the block is whole once it has settled.
    Json found;
    EXPECT_TRUE(testing::wait_until([&] {
      found = host_->request("find_rectangle", {{"color", "#FF0000"}}).value("result", Json());
      return found == rect(100, 100, 200, 100);
    })) << found.dump();
    EXPECT_EQ(host_->request("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 150}, {"y", 120}}).value("result", Json()),
              Json(true));
    EXPECT_TRUE(testing::wait_until([&] { return releases() > before; })) << client.text();
  }

  GnomeSession session_;
  testing::TempTree tree_;
  std::unique_ptr<HostProcess> host_;
  int clients_ = 0;
};

TEST_F(GnomeFaults, MutterKilledThenBack) {
  {
    auto client = gtk();
    expect_working(*client);
    session_.kill_compositor();
  }
  // The display list is empty, as without a screen; capture and input fail.
  auto [list, list_time] = timed("get_display_list", Json());
  EXPECT_EQ(to_json_text(list), R"({"id":1,"result":[]})");
  EXPECT_LT(list_time, kFailureDeadline);
  auto [capture, capture_time] = timed("capture_desktop", Json::object());
  EXPECT_EQ(to_json_text(capture), R"({"error":{"message":"capture_failed: no monitors"},"id":1})");
  EXPECT_LT(capture_time, kFailureDeadline);
  auto [click, click_time] = timed("send_mouse_event", {{"type", 3}, {"button", 0}, {"x", 10}, {"y", 10}});
  ASSERT_TRUE(click.contains("error")) << click.dump();
  EXPECT_EQ(click["error"]["message"].get<std::string>().rfind("input_backend_unavailable: no connection could be established: (", 0), 0u)
      << click.dump();
  EXPECT_LT(click_time, kFailureDeadline);

  ASSERT_TRUE(session_.restart_compositor()) << session_.why() << session_.log();
  auto client = gtk();
  expect_working(*client);
}

TEST_F(GnomeFaults, PipeWireKilledThenBack) {
  auto client = gtk();
  expect_working(*client);
  session_.kill_pipewire();
  auto [capture, capture_time] = timed("capture_desktop", Json::object());
  ASSERT_TRUE(capture.contains("error")) << capture.dump();
  EXPECT_EQ(capture["error"]["message"].get<std::string>().rfind("capture_failed: ", 0), 0u) << capture.dump();
  EXPECT_LT(capture_time, kFailureDeadline);

  ASSERT_TRUE(session_.restart_pipewire()) << session_.why() << session_.log();
  expect_working(*client);
}

}  // namespace
}  // namespace pelagon2
