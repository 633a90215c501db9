// The host as Firefox starts it: headless Firefox finds the manifest that
// install-host wrote into the home folder and starts the host for the test
// extension, whose page talks to it with sendNativeMessage and connectNative.
// One browser serves every test of this program (its start is the cost), so
// the tests run in order and the last one quits it.

#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "browser/firefox_session.h"
#include "core/base64.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2::testing {
namespace {

class FirefoxNativeMessagingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::signal(SIGPIPE, SIG_IGN);
    if (!firefox_available()) return;
    browser_ = std::make_unique<FirefoxSession>();
    started_ = browser_->start();
  }
  static void TearDownTestSuite() { browser_.reset(); }

  void SetUp() override {
    if (!firefox_available()) GTEST_SKIP() << "no Firefox at " << firefox_executable();
    ASSERT_TRUE(started_) << browser_->error() << "\nbrowser output:\n" << browser_->log_tail();
    ASSERT_GT(browser_->pid(), 0) << "the browser has been quit";
  }

  // The page's answer; fails the test (with the browser's output) when none.
  static Json call(std::string_view function, const Json& arguments) {
    std::optional<Json> value = browser_->call(function, arguments);
    EXPECT_TRUE(value.has_value()) << browser_->error() << "\nbrowser output:\n" << browser_->log_tail();
    return value.value_or(Json());
  }

  // One request by a one-shot message; its result, or the failure recorded.
  static Json result_of(std::string_view method, const Json& params = Json::object()) {
    const Json value = call("callHost", Json::array({request(1, method, params)}));
    EXPECT_TRUE(value.contains("reply") && value["reply"].contains("result")) << method << ": " << value.dump();
    return value.contains("reply") ? value["reply"].value("result", Json()) : Json();
  }

  static Json request(int id, std::string_view method, const Json& params = Json::object()) {
    return {{"id", id}, {"method", method}, {"params", params}};
  }

  static inline std::unique_ptr<FirefoxSession> browser_;
  static inline bool started_ = false;
};

TEST_F(FirefoxNativeMessagingTest, SendNativeMessageGetsRepliesAndErrorsFromFreshHosts) {
  RecordProperty("browser_startup_ms", std::to_string(browser_->startup_ms()));
  for (int id : {7, 8}) {
    EXPECT_EQ(call("callHost", Json::array({request(id, "get_version")})),
              Json({{"reply", {{"id", id}, {"result", "2.0.2"}}}}));
  }
  EXPECT_EQ(call("callHost", Json::array({request(3, "no_such_method")})),
            Json({{"reply", {{"error", {{"message", "Unknown method: no_such_method"}}}, {"id", 3}}}}));
}

TEST_F(FirefoxNativeMessagingTest, OnePortAnswersASequenceInOrder) {
  const std::string missing = browser_->folder() / "missing.txt";
  const Json requests = Json::array({
      request(1, "get_version"),
      request(2, "get_display_list"),  // headless: the host has no display
      request(3, "file_exists", {{"path", missing}}),
      request(4, "get_version"),
      request(5, "read_file_range", {{"path", missing}}),
  });
  for (bool pipelined : {false, true}) {
    SCOPED_TRACE(pipelined ? "pipelined" : "one at a time");
    const Json value = call("callHostOnPort", Json::array({requests, pipelined}));
    const Json& replies = value["replies"];
    ASSERT_EQ(replies.size(), requests.size()) << value.dump();
    EXPECT_EQ(replies[0], Json({{"id", 1}, {"result", "2.0.2"}}));
    EXPECT_EQ(replies[1], Json({{"id", 2}, {"result", Json::array()}}));
    EXPECT_EQ(replies[2], Json({{"id", 3}, {"result", false}}));
    EXPECT_EQ(replies[3], Json({{"id", 4}, {"result", "2.0.2"}}));
    EXPECT_EQ(replies[4].value("id", 0), 5);
    EXPECT_TRUE(replies[4].contains("error")) << replies[4].dump();
  }
}

TEST_F(FirefoxNativeMessagingTest, ReadsA2MiBFileInRangesByteForByte) {
  constexpr std::size_t kSize = std::size_t{2} << 20;
  std::string content(kSize, '\0');
  std::uint32_t state = 777;
  for (char& c : content) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  const std::string path = browser_->folder().put("big.bin", content);
  const Json value = call("readFileByRanges", Json::array({path}));
  const Json& replies = value["replies"];
  // 512 KiB ranges: four full ones and the empty one at the end.
  ASSERT_EQ(replies.size(), 5u) << value.dump().substr(0, 2000);
  std::string received;
  for (const Json& reply : replies) {
    ASSERT_TRUE(reply.contains("result")) << reply.dump().substr(0, 2000);
    ASSERT_EQ(reply["result"]["rangeStart"], received.size());
    auto bytes = base64_decode(reply["result"]["buffer"].get<std::string>());
    ASSERT_TRUE(bytes.ok());
    received.append(bytes->begin(), bytes->end());
    ASSERT_EQ(reply["result"]["rangeEnd"], received.size());
  }
  EXPECT_TRUE(received == content) << "the bytes differ";
  // What the client library put together from them.
  auto assembled = base64_decode(value.value("content", std::string("-")));
  ASSERT_TRUE(assembled.ok());
  EXPECT_TRUE(std::string(assembled->begin(), assembled->end()) == content);
}

// Firefox takes a reply of up to 1 MiB; one byte more fails the call with
// Firefox's own text and closes a port without a reply.
TEST_F(FirefoxNativeMessagingTest, RepliesUpToTheLimitArriveAndOneByteMoreIsRefused) {
  constexpr std::size_t kLimit = std::size_t{1} << 20;
  constexpr std::size_t kFraming = std::string_view(R"({"id":1,"result":{"content":"","errorCode":0}})").size();
  for (const std::size_t reply_size : {kLimit, kLimit + 1}) {
    SCOPED_TRACE("reply of " + std::to_string(reply_size) + " bytes");
    std::string content(reply_size - kFraming, 'x');
    for (std::size_t i = 0; i < content.size(); i += 61) content[i] = static_cast<char>('a' + i % 26);
    const std::string path = browser_->folder().put("text.txt", content);
    const Json message = request(1, "read_all_text", {{"path", path}});
    const Json one_shot = call("callHost", Json::array({message}));
    const Json on_port = call("callHostOnPort", Json::array({Json::array({message}), true}));
    if (reply_size <= kLimit) {
      EXPECT_TRUE(one_shot["reply"]["result"]["content"] == content) << one_shot.dump().substr(0, 300);
      ASSERT_EQ(on_port["replies"].size(), 1u) << on_port.dump().substr(0, 300);
      EXPECT_TRUE(on_port["replies"][0]["result"]["content"] == content);
    } else {
      EXPECT_EQ(one_shot, Json({{"browserError", "Native application tried to send a message of 1048577 bytes, "
                                                 "which exceeds the limit of 1048576 bytes."}}));
      EXPECT_EQ(on_port["replies"], Json::array()) << on_port.dump().substr(0, 300);
    }
  }
}

TEST_F(FirefoxNativeMessagingTest, SearchImageFindsAPatternCutFromTheImage) {
  vision_core::RgbImage image(64, 48);
  std::uint32_t state = 99;  // noise, so the pattern fits in one place only
  for (std::uint8_t& p : image.pixels) {
    state = state * 1103515245u + 12345u;
    p = static_cast<std::uint8_t>(state >> 24);
  }
  vision_core::RgbImage pattern(12, 9);
  for (std::uint32_t y = 0; y < pattern.height; ++y) {
    for (std::uint32_t x = 0; x < pattern.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        pattern.pixels[(std::size_t{y} * pattern.width + x) * 3 + static_cast<std::size_t>(c)] =
            image.pixels[(std::size_t{y + 20} * image.width + x + 30) * 3 + static_cast<std::size_t>(c)];
      }
    }
  }
  const Json found = result_of("search_image", {{"image", png_param(image)}, {"pattern", png_param(pattern)}});
  ASSERT_TRUE(found.is_object() && !found["regions"].empty()) << found.dump();
  EXPECT_EQ(found["regions"][0]["matchedRect"], Json({{"height", 9}, {"width", 12}, {"x", 30}, {"y", 20}}));
  EXPECT_EQ(found["regions"][0]["score"], 1.0);
}

// Firefox passes the manifest's path and the extension's id on the host's
// command line and starts it in the host binary's own folder. The host
// ignores the arguments; relative paths resolve in that folder.
TEST_F(FirefoxNativeMessagingTest, HostIgnoresFirefoxsArgumentsAndRunsInItsOwnFolder) {
  const Json requests = Json::array({
      request(1, "run_process", {{"fileName", "/bin/cat"}, {"arguments", "/proc/$PPID/cmdline"}, {"waitForExit", true}}),
      request(2, "run_process", {{"fileName", "/bin/pwd"}, {"waitForExit", true}}),
      request(3, "get_version"),
  });
  const Json value = call("callHostOnPort", Json::array({requests, true}));
  ASSERT_EQ(value["replies"].size(), 3u) << value.dump();
  const std::string manifest = browser_->home() + "/.mozilla/native-messaging-hosts/" + std::string(kFirefoxHostName) +
                               ".json";
  std::string expected_command_line = host_under_test() + '\0' + manifest + '\0' + std::string(kFirefoxExtensionId);
  expected_command_line.push_back('\0');
  EXPECT_EQ(value["replies"][0]["result"]["stdout"], expected_command_line) << value.dump();
  const std::string folder = std::filesystem::path(host_under_test()).parent_path().string();
  EXPECT_EQ(value["replies"][1]["result"]["stdout"], folder + "\n") << value.dump();
  EXPECT_EQ(value["replies"][2], Json({{"id", 3}, {"result", "2.0.2"}}));
}

// Last: quitting the browser leaves neither it nor any host behind.
TEST_F(FirefoxNativeMessagingTest, ZQuittingLeavesNoProcessBehind) {
  // What must be gone is visible while the browser runs.
  ASSERT_NE(browser_->processes_left().find(" firefox-esr\n"), std::string::npos) << browser_->processes_left();
  EXPECT_EQ(browser_->stop_and_list_leftovers(), "");
}

}  // namespace
}  // namespace pelagon2::testing
