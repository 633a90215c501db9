// The host as a real browser starts it: Chromium (headless) launches it for
// the test extension through the profile's host manifest, and the extension's
// worker talks to it with sendNativeMessage and connectNative.

#include <signal.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "browser/browser_session.h"
#include "core/base64.h"

namespace pelagon2::testing {
namespace {

class NativeMessagingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }

  void SetUp() override {
    if (!chromium_available()) GTEST_SKIP() << "no Chromium at " << chromium_executable();
    browser_ = std::make_unique<BrowserSession>();
    ASSERT_TRUE(browser_->start()) << browser_->error() << "\nbrowser output:\n" << browser_->log_tail();
    RecordProperty("browser_startup_ms", std::to_string(browser_->startup_ms()));
    // What TearDown expects to be gone is visible while it runs.
    ASSERT_NE(browser_->processes_left().find(" chromium\n"), std::string::npos) << browser_->processes_left();
  }

  // Neither the browser nor any host it started outlives the test.
  void TearDown() override {
    if (browser_) {
      EXPECT_EQ(browser_->stop_and_list_leftovers(), "");
    }
    browser_.reset();
  }

  // The worker's answer; fails the test (with the browser's output) when none.
  Json call(std::string_view function, const Json& arguments) {
    std::optional<Json> value = browser_->call(function, arguments);
    EXPECT_TRUE(value.has_value()) << browser_->error() << "\nbrowser output:\n" << browser_->log_tail();
    if (value && value->contains("browserError")) {
      ADD_FAILURE() << "browser: " << (*value)["browserError"] << "\nbrowser output:\n" << browser_->log_tail();
    }
    return value.value_or(Json());
  }

  static Json request(int id, std::string_view method, const Json& params = Json::object()) {
    return {{"id", id}, {"method", method}, {"params", params}};
  }

  std::unique_ptr<BrowserSession> browser_;
};

TEST_F(NativeMessagingTest, SendNativeMessageGetsTheVersionFromAFreshHost) {
  // Twice: each call starts a host of its own.
  for (int id : {7, 8}) {
    const Json value = call("callHost", Json::array({request(id, "get_version")}));
    EXPECT_EQ(value["reply"], Json({{"id", id}, {"result", "2.0.2"}})) << value.dump();
  }
}

TEST_F(NativeMessagingTest, SendNativeMessageCarriesErrorReplies) {
  const Json value = call("callHost", Json::array({request(3, "no_such_method")}));
  EXPECT_EQ(value["reply"], Json({{"error", {{"message", "Unknown method: no_such_method"}}}, {"id", 3}}))
      << value.dump();
}

// One port, several requests: each reply matches its request, in order,
// whether the extension waits for each reply or posts everything at once.
TEST_F(NativeMessagingTest, OnePortAnswersASequenceInOrder) {
  const std::string missing = browser_->folder() / "missing.txt";
  const Json requests = Json::array({
      request(1, "get_version"),
      request(2, "get_display_list"),  // the browser, and so the host, has no display
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

// A file four times the largest range, read range by range through the
// browser: the largest range's reply must fit the browser's limit on what a
// host may send, and every byte must arrive where it belongs.
TEST_F(NativeMessagingTest, ReadsA2MiBFileInRangesThroughTheBrowser) {
  constexpr std::size_t kSize = std::size_t{2} << 20;
  std::string content(kSize, '\0');
  std::uint32_t state = 12345;  // a pattern without period at range boundaries
  for (char& c : content) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  const std::string path = browser_->folder().put("big.bin", content);

  const Json value = call("readFileByRanges", Json::array({path}));
  const Json& replies = value["replies"];
  ASSERT_GE(replies.size(), 2u) << value.dump().substr(0, 2000);

  std::string received;
  for (std::size_t i = 0; i < replies.size(); ++i) {
    SCOPED_TRACE("reply " + std::to_string(i));
    const Json& reply = replies[i];
    ASSERT_TRUE(reply.contains("result")) << reply.dump().substr(0, 2000);
    const Json& range = reply["result"];
    ASSERT_EQ(range["rangeStart"], received.size());
    auto bytes = base64_decode(range["buffer"].get<std::string>());
    ASSERT_TRUE(bytes.ok());
    ASSERT_EQ(range["rangeEnd"], received.size() + bytes->size());
    received.append(bytes->begin(), bytes->end());
    // Only the last reply, past the end, is empty.
    EXPECT_EQ(bytes->empty(), i + 1 == replies.size());
  }
  ASSERT_EQ(received.size(), content.size());
  std::size_t first_difference = 0;
  while (first_difference < kSize && received[first_difference] == content[first_difference]) ++first_difference;
  EXPECT_EQ(first_difference, kSize) << "the bytes differ from offset " << first_difference;
  // 512 KiB ranges: four full ones and the empty one at the end.
  EXPECT_EQ(replies.size(), 5u);
  // What the client library put together from them.
  auto assembled = base64_decode(value.value("content", std::string("-")));
  ASSERT_TRUE(assembled.ok());
  EXPECT_TRUE(std::string(assembled->begin(), assembled->end()) == content);
}

}  // namespace
}  // namespace pelagon2::testing

namespace pelagon2::testing {
namespace {

// The browser takes a reply of up to 1 MiB and drops the port above it, which
// is why large files are read in ranges: a reply of exactly the limit arrives
// whole, one byte more does not.
TEST_F(NativeMessagingTest, RepliesUpToTheBrowsersLimitArriveWhole) {
  constexpr std::size_t kLimit = std::size_t{1} << 20;
  constexpr std::size_t kFraming = std::string_view(R"({"id":1,"result":{"content":"","errorCode":0}})").size();
  for (const std::size_t reply_size : {kLimit, kLimit + 1}) {
    SCOPED_TRACE("reply of " + std::to_string(reply_size) + " bytes");
    std::string content(reply_size - kFraming, 'x');
    // Some text that needs no escaping, so the reply's size is known exactly.
    for (std::size_t i = 0; i < content.size(); i += 61) content[i] = static_cast<char>('a' + i % 26);
    const std::string path = browser_->folder().put("text.txt", content);
    const Json message = request(1, "read_all_text", {{"path", path}});
    std::optional<Json> value = browser_->call("callHost", Json::array({message}));
    ASSERT_TRUE(value.has_value()) << browser_->error();
    if (reply_size <= kLimit) {
      ASSERT_TRUE(value->contains("reply")) << value->dump().substr(0, 500);
      EXPECT_TRUE((*value)["reply"]["result"]["content"] == content);
    } else {
      EXPECT_FALSE(value->contains("reply"));
      EXPECT_TRUE(value->contains("browserError")) << value->dump().substr(0, 500);
    }
  }
}

}  // namespace
}  // namespace pelagon2::testing
