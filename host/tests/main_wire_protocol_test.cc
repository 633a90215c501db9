// The real host binary over pipes: framing, stopping rules and the envelope.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "support/host_process.h"

namespace pelagon2::testing {
namespace {

constexpr const char* kVersionRequest = R"({"id":1,"method":"get_version"})";
constexpr const char* kVersionReply = R"({"id":1,"result":"2.0.2"})";

TEST(WireProtocol, AnswersFramesInOrderAndStopsAtEndOfInput) {
  HostProcess host;
  // Two frames in one write, then one more.
  ASSERT_TRUE(host.send_raw(frame(R"({"id":1,"method":"get_version"})") + frame(R"({"id":2,"method":"nope"})")));
  EXPECT_EQ(host.read_frame().value_or(""), R"({"id":1,"result":"2.0.2"})");
  EXPECT_EQ(host.read_frame().value_or(""), R"({"error":{"message":"Unknown method: nope"},"id":2})");
  ASSERT_TRUE(host.send_frame(R"({"method":"get_version","id":3})"));
  EXPECT_EQ(host.read_frame().value_or(""), R"({"id":3,"result":"2.0.2"})");
  host.close_input();
  EXPECT_EQ(host.read_to_end(), "");
  EXPECT_EQ(host.wait_exit(), 0);
}

struct StopCase {
  const char* name;
  std::string bytes;  // sent after one good request
};

TEST(WireProtocol, StopsQuietlyWithStatusZero) {
  const StopCase cases[] = {
      {"zero-length frame", std::string(4, '\0') + frame(kVersionRequest)},
      {"one header byte", std::string(1, '\x05')},
      {"three header bytes", std::string("\x05\x00\x00", 3)},
      {"truncated body", frame(kVersionRequest).substr(0, 20)},
      {"two values in one body", frame("{}{}") + frame(kVersionRequest)},
      {"letter after the value", frame("{} x") + frame(kVersionRequest)},
      {"form feed after the value", frame("{}\f") + frame(kVersionRequest)},
      {"NUL after the value", frame(std::string("{}\0", 3)) + frame(kVersionRequest)},
      {"bad JSON", frame("{\"id\":1,") + frame(kVersionRequest)},
      {"invalid UTF-8", frame("\"\xff\"") + frame(kVersionRequest)},
      {"nesting 129 deep", frame(std::string(129, '[') + std::string(129, ']')) + frame(kVersionRequest)},
      {"huge announced length, no body", std::string("\xff\xff\xff\xff", 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostProcess host;
    ASSERT_TRUE(host.send_raw(frame(kVersionRequest) + c.bytes));
    host.close_input();
    EXPECT_EQ(host.read_frame().value_or(""), kVersionReply);
    EXPECT_EQ(host.read_to_end(), "") << "nothing after the stop";
    EXPECT_EQ(host.wait_exit(), 0);
  }
}

TEST(WireProtocol, AcceptedBodiesGetReplies) {
  struct Case {
    std::string body;
    std::string reply;
  };
  const Case cases[] = {
      {"{} \r\n\t", R"({"error":{"message":"Unknown method: "},"id":null})"},
      {"[1,2]", R"({"error":{"message":"Unknown method: "},"id":null})"},
      {"7", R"({"error":{"message":"Unknown method: "},"id":null})"},
      {std::string(128, '[') + std::string(128, ']'), R"({"error":{"message":"Unknown method: "},"id":null})"},
      {R"({"id":18446744073709551616,"method":"get_version"})", R"({"id":1.8446744073709552e19,"result":"2.0.2"})"},
      {R"({"id":1e-7,"method":"get_version"})", R"({"id":1e-7,"result":"2.0.2"})"},
  };
  HostProcess host;
  for (const auto& c : cases) {
    ASSERT_TRUE(host.send_frame(c.body));
    EXPECT_EQ(host.read_frame().value_or(""), c.reply) << c.body.substr(0, 40);
  }
}

TEST(WireProtocol, ReplyLengthIsLittleEndianHeader) {
  HostProcess host;
  // "Unknown method: " + name + the envelope = exactly 300 bytes of JSON.
  const std::string envelope_without_name = R"({"error":{"message":"Unknown method: "},"id":1})";
  const std::string name(300 - envelope_without_name.size(), 'm');
  ASSERT_TRUE(host.send_frame(R"({"id":1,"method":")" + name + "\"}"));
  host.close_input();
  const std::string raw = host.read_to_end();
  ASSERT_EQ(raw.size(), 304u);
  EXPECT_EQ(raw.substr(0, 4), std::string("\x2C\x01\x00\x00", 4));
  EXPECT_EQ(raw.substr(4), R"({"error":{"message":"Unknown method: )" + name + R"("},"id":1})");
}

TEST(WireProtocol, ClientClosingItsReadEndStopsTheHost) {
  HostProcess host;
  host.close_output();
  // The host's write fails (SIGPIPE is ignored); it must exit 0, not die of the signal.
  for (int i = 0; i < 3 && host.send_frame(kVersionRequest); ++i) {
  }
  host.close_input();
  EXPECT_EQ(host.wait_exit(), 0);
}

TEST(WireProtocol, TenMebibyteRequestIsParsedAndAnswered) {
  HostProcess host;
  const std::string payload(10 << 20, 'Q');
  ASSERT_TRUE(host.send_frame(R"({"id":9,"method":"get_version","params":{"data":")" + payload + "\"}}"));
  EXPECT_EQ(host.read_frame().value_or(""), R"({"id":9,"result":"2.0.2"})");
  ASSERT_TRUE(host.send_frame(kVersionRequest));
  EXPECT_EQ(host.read_frame().value_or(""), kVersionReply);
}

TEST(WireProtocol, BodyArrivingInSmallPiecesIsAssembled) {
  HostProcess host;
  // Larger than the first body chunk, so the buffer has to grow while bytes trickle in.
  const std::string body = R"({"id":5,"method":"get_version","params":")" + std::string(3 << 20, 'z') + "\"}";
  const std::string bytes = frame(body);
  for (std::size_t at = 0; at < bytes.size(); at += 65521) {
    ASSERT_TRUE(host.send_raw(std::string_view(bytes).substr(at, 65521)));
  }
  EXPECT_EQ(host.read_frame().value_or(""), R"({"id":5,"result":"2.0.2"})");
}

// A number from /proc/<pid>/<file>, on the line starting with `key`.
long long proc_value(pid_t pid, const char* file, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return std::stoll(line.substr(key.size()));
  }
  return -1;
}

TEST(WireProtocol, AnnouncedLengthAloneDoesNotReserveMemory) {
  HostProcess host;
  const std::size_t sent = 8 << 20;
  ASSERT_TRUE(host.send_raw(std::string("\xF0\xFF\xFF\xFF", 4) + std::string(sent, ' ')));
  // Wait until the host has consumed what was sent, then look at its peak memory.
  for (int i = 0; i < 500 && proc_value(host.pid(), "io", "rchar:") < static_cast<long long>(sent); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const long long peak_kib = proc_value(host.pid(), "status", "VmHWM:");
  ASSERT_GT(peak_kib, 0);
  EXPECT_LT(peak_kib, 64 * 1024) << "a 4 GiB announcement must not be allocated up front";
  host.close_input();
  EXPECT_EQ(host.read_to_end(), "");
  EXPECT_EQ(host.wait_exit(), 0);
}

}  // namespace
}  // namespace pelagon2::testing
