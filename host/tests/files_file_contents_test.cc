#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "core/base64.h"
#include "core/descriptor_io.h"
#include "fakes/fake_platform.h"
#include "files/file_contents.h"
#include "files/file_params.h"
#include "main/request_handler.h"
#include "support/host_process.h"
#include "support/temp_tree.h"

namespace pelagon2::files {
namespace {

using pelagon2::testing::read_file;
using pelagon2::testing::TempTree;
using namespace std::string_literals;

std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string decoded(const Json& base64_text) {
  auto bytes = base64_decode(base64_text.get<std::string>());
  EXPECT_TRUE(bytes.ok());
  return bytes.ok() ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// Through the host's method table, as a request would arrive.
Outcome handle(std::string_view method, const Json& params) {
  pelagon2::testing::FakePlatform platform;
  return dispatch_method(method, params, platform);
}

Json call(std::string_view method, const Json& params) {
  Outcome outcome = handle(method, params);
  EXPECT_TRUE(outcome.ok()) << method << ": " << outcome.error();
  return outcome.ok() ? outcome.value() : Json();
}

std::string error_of(std::string_view method, const Json& params) {
  Outcome outcome = handle(method, params);
  EXPECT_FALSE(outcome.ok()) << method << " unexpectedly answered " << (outcome.ok() ? outcome->dump() : "");
  return outcome.ok() ? std::string() : outcome.error();
}

// ---- range reads ----

class RangeRead : public ::testing::Test {
 protected:
  static constexpr std::size_t kSize = 1000000;
  TempTree dir;
  std::string content = random_bytes(kSize, 7);
  std::string path = dir.put("big.bin", content);
};

TEST_F(RangeRead, ChunksCoverTheFileWithoutGapsOrOverlaps) {
  std::string joined;
  std::uint64_t start = 0;
  std::vector<std::uint64_t> ends;
  for (int guard = 0; guard < 10; ++guard) {
    const Json reply = call("read_file_range", {{"path", path}, {"rangeStart", start}});
    ASSERT_EQ(reply["rangeStart"], start);
    const std::string chunk = decoded(reply["buffer"]);
    ASSERT_EQ(reply["rangeEnd"].get<std::uint64_t>(), start + chunk.size());
    ASSERT_LE(chunk.size(), kMaxFileRange);
    if (chunk.empty()) break;
    joined += chunk;
    start = reply["rangeEnd"].get<std::uint64_t>();
    ends.push_back(start);
  }
  EXPECT_EQ(ends, (std::vector<std::uint64_t>{524288, 1000000}));
  EXPECT_TRUE(joined == content) << "reassembled file differs";
}

TEST_F(RangeRead, StartIsUsedOnlyWhenUnsigned) {
  struct Case {
    const char* label;
    Json start;  // null: absent
    std::uint64_t expected_start;
    std::size_t expected_length;
  };
  const Case cases[] = {
      {"absent", Json(), 0, 524288},
      {"negative", Json(-5), 0, 524288},
      {"fractional", Json(10.5), 0, 524288},
      {"string", Json("524288"), 0, 524288},
      {"second chunk", Json(524288u), 524288, 475712},
      {"last byte", Json(999999u), 999999, 1},
      {"at the end", Json(1000000u), 1000000, 0},
      {"far beyond", Json(std::numeric_limits<std::uint64_t>::max()), std::numeric_limits<std::uint64_t>::max(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Json params = {{"path", path}, {"length", 3u}};
    if (!c.start.is_null()) params["rangeStart"] = c.start;
    const Json reply = call("read_file_range", params);
    EXPECT_EQ(reply["rangeStart"].get<std::uint64_t>(), c.expected_start);
    EXPECT_EQ(reply["rangeEnd"].get<std::uint64_t>(), c.expected_start + c.expected_length);
    const std::string chunk = decoded(reply["buffer"]);
    ASSERT_EQ(chunk.size(), c.expected_length);
    if (c.expected_length > 0) {
      EXPECT_TRUE(chunk == content.substr(c.expected_start, c.expected_length));
    }
    EXPECT_TRUE(reply["rangeStart"].is_number_unsigned());
    EXPECT_TRUE(reply["rangeEnd"].is_number_unsigned());
  }
}

TEST(RangeReadErrors, ReportOperatingSystemTexts) {
  TempTree dir;
  const std::string folder = (dir / "");
  struct Case {
    const char* label;
    Json params;
    std::string message;
  };
  const Case cases[] = {
      {"missing file", {{"path", (dir / "absent")}}, "No such file or directory (os error 2)"},
      {"directory", {{"path", folder}}, std::string(std::strerror(EISDIR)) + " (os error " + std::to_string(EISDIR) + ")"},
      {"NUL in path", {{"path", (dir / "a") + std::string(1, '\0') + "b"}}, "file name contained an unexpected NUL byte"},
      {"no path", {{"rangeStart", 0u}}, "Missing string param 'path'"},
      {"path not a string", {{"path", 3u}}, "Missing string param 'path'"},
      {"params not an object", Json::array({"x"}), "Missing string param 'path'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(error_of("read_file_range", c.params), c.message);
  }
}

TEST(ReadExact, FileThatShrankAfterItsSizeWasTakenFailsToFill) {
  TempTree dir;
  const std::string path = dir.put("shrinking", std::string(4096, 'x'));
  const int reader = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  struct stat info {};
  ASSERT_EQ(::fstat(reader, &info), 0);
  ASSERT_EQ(::truncate(path.c_str(), 1000), 0);  // another writer cuts the file

  auto bytes = read_exact_at(reader, 512, static_cast<std::size_t>(info.st_size) - 512);
  ASSERT_FALSE(bytes.ok());
  EXPECT_EQ(bytes.error(), "failed to fill whole buffer");

  auto rest = read_exact_at(reader, 512, 488);  // what is still there reads fine
  ASSERT_TRUE(rest.ok()) << rest.error();
  EXPECT_EQ(std::string(rest->begin(), rest->end()), std::string(488, 'x'));
  ::close(reader);
}

// ---- EINTR and short transfers, with a thread that keeps interrupting ----

extern "C" void ignore_signal(int) {}

// Interrupts the given threads every 100 us until destroyed.
class SignalStorm {
 public:
  explicit SignalStorm(std::vector<pthread_t> targets) : targets_(std::move(targets)) {
    struct sigaction action {};
    action.sa_handler = ignore_signal;  // no SA_RESTART: blocking calls fail with EINTR
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &previous_);
    thread_ = std::thread([this] {
      while (!stop_) {
        for (const pthread_t target : targets_) pthread_kill(target, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
  }
  ~SignalStorm() {
    stop_ = true;
    thread_.join();
    sigaction(SIGUSR1, &previous_, nullptr);
  }

 private:
  std::vector<pthread_t> targets_;
  struct sigaction previous_ {};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(InterruptedTransfers, ReadsAndWritesAreRepeatedUntilComplete) {
  // Far more than a pipe holds, so the writer blocks on a full pipe and the
  // reader on an empty one, and both are interrupted there.
  const std::string payload = random_bytes(8 << 20, 11);
  ::signal(SIGPIPE, SIG_IGN);  // as in the host: a vanished reader is an error, not death
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string received(payload.size(), '\0');
  std::atomic<bool> go{false};
  Done read_result = make_error("not run");
  std::thread reader([&] {
    while (!go) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    read_result = read_exact(fds[0], std::span(reinterpret_cast<std::uint8_t*>(received.data()), received.size()));
    ::close(fds[0]);  // a failed read must not leave the writer blocked
  });
  {
    SignalStorm storm({pthread_self(), reader.native_handle()});
    go = true;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    EXPECT_TRUE(write_all(fds[1], std::span(bytes, payload.size()))) << std::strerror(errno);
    ::close(fds[1]);  // a failed write must not leave the reader waiting
    reader.join();
  }
  ASSERT_TRUE(read_result.ok()) << read_result.error();
  EXPECT_TRUE(received == payload) << "bytes lost or reordered";
}

TEST(InterruptedTransfers, ReadWaitingForSlowDataIsRepeated) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::array<std::uint8_t, 5> buffer{};
  Done result = make_error("not run");
  {
    SignalStorm storm({pthread_self()});  // interrupts this thread while it waits in read
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ASSERT_EQ(::write(fds[1], "he", 2), 2);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ASSERT_EQ(::write(fds[1], "llo", 3), 3);
    });
    result = read_exact(fds[0], buffer);
    writer.join();
  }
  ::close(fds[0]);
  ::close(fds[1]);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "hello");
}

// ---- whole-file reads ----

TEST(WholeReads, TextMustBeUtf8AndBytesAreBase64) {
  TempTree dir;
  struct Case {
    const char* label;
    std::string bytes;
    Json text_reply;
    Json bytes_reply;
  };
  const std::string bom_text = "\xEF\xBB\xBFline\r\nnext\x00z"s;
  const Case cases[] = {
      {"UTF-16 BOM is not UTF-8", "\xFF\xFE\x41", {{"content", ""}, {"errorCode", 1u}}, {{"content", "//5B"}, {"errorCode", 0u}}},
      {"empty file", "", {{"content", ""}, {"errorCode", 0u}}, {{"content", ""}, {"errorCode", 0u}}},
      {"BOM and CRLF kept", bom_text,
       {{"content", bom_text}, {"errorCode", 0u}},
       {{"content", base64_encode(bom_text)}, {"errorCode", 0u}}},
      {"cut two-byte character", "ab\xC3", {{"content", ""}, {"errorCode", 1u}}, {{"content", "YWLD"}, {"errorCode", 0u}}},
      {"surrogate", "\xED\xA0\x80", {{"content", ""}, {"errorCode", 1u}}, {{"content", "7aCA"}, {"errorCode", 0u}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = dir.put("f", c.bytes);
    EXPECT_EQ(call("read_all_text", {{"path", path}}), c.text_reply);
    EXPECT_EQ(call("read_all_bytes", {{"path", path}}), c.bytes_reply);
  }
}

TEST(WholeReads, LargeFileComesBackWhole) {
  TempTree dir;
  const std::string content = random_bytes(3 << 20, 5);
  const Json reply = call("read_all_bytes", {{"path", dir.put("big", content)}});
  EXPECT_EQ(reply["errorCode"], 0u);
  EXPECT_TRUE(decoded(reply["content"]) == content);
}

TEST(WholeReads, EndlessSourceStopsAtTheLimitInsteadOfExhaustingMemory) {
  const Expected<std::string> endless = read_whole_file("/dev/zero", 1 << 20);
  ASSERT_FALSE(endless.ok());
  EXPECT_EQ(endless.error(), os_error_text(EFBIG));

  TempTree dir;
  const std::string exact(1 << 20, 'x');
  const Expected<std::string> at_limit = read_whole_file(dir.put("exact", exact), exact.size());
  ASSERT_TRUE(at_limit.ok()) << at_limit.error();
  EXPECT_EQ(at_limit->size(), exact.size());
}

TEST(WholeReads, FailuresShowOnlyAsErrorCode) {
  TempTree dir;
  const Json failed = {{"content", ""}, {"errorCode", 1u}};
  const std::string paths[] = {(dir / "absent"), (dir / ""), dir.put("x", "abc") + std::string(1, '\0')};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    EXPECT_EQ(call("read_all_text", {{"path", path}}), failed);
    EXPECT_EQ(call("read_all_bytes", {{"path", path}}), failed);
  }
  EXPECT_EQ(error_of("read_all_text", Json::object()), "Missing string param 'path'");
  EXPECT_EQ(error_of("read_all_bytes", {{"path", nullptr}}), "Missing string param 'path'");
}

// ---- writes ----

struct WriteStep {
  const char* method;
  std::string content;
  bool expected;
};

struct WriteCase {
  const char* label;
  const char* initial;  // nullptr: the file does not exist
  std::vector<WriteStep> steps;
  const char* final;  // nullptr: the file must not exist
};

TEST(Writes, CreateTruncateAppendAndRejectBadBase64) {
  const WriteCase cases[] = {
      {"text creates", nullptr, {{"write_all_text", "h\xC3\xA9llo\n", true}}, "h\xC3\xA9llo\n"},
      {"text truncates", "0123456789", {{"write_all_text", "ab", true}}, "ab"},
      {"text appends twice", nullptr, {{"append_all_text", "ab", true}, {"append_all_text", "ab", true}}, "abab"},
      {"append keeps what was there", "xy", {{"append_all_text", "z", true}}, "xyz"},
      {"empty append creates", nullptr, {{"append_all_text", "", true}}, ""},
      {"bytes are decoded", nullptr, {{"write_all_bytes", "//5B", true}}, "\xFF\xFE\x41"},
      {"bytes append", "a", {{"append_all_bytes", "YWI=", true}, {"append_all_bytes", "YWI=", true}}, "aabab"},
      {"missing padding creates nothing", nullptr, {{"write_all_bytes", "YWI", false}}, nullptr},
      {"line break creates nothing", nullptr, {{"write_all_bytes", "YWJj\nYWJj", false}}, nullptr},
      {"bad base64 leaves file untouched", "keep", {{"write_all_bytes", "Y!==", false}}, "keep"},
      {"bad base64 append leaves file untouched", "keep", {{"append_all_bytes", "YR==", false}}, "keep"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.label);
    TempTree dir;
    const std::string path = c.initial ? dir.put("out", c.initial) : (dir / "out");
    for (const WriteStep& step : c.steps) {
      EXPECT_EQ(call(step.method, {{"path", path}, {"content", step.content}}), Json(step.expected)) << step.method;
    }
    if (c.final == nullptr) {
      EXPECT_NE(::access(path.c_str(), F_OK), 0) << "file was created";
    } else {
      EXPECT_EQ(read_file(path), c.final);
    }
  }
}

TEST(Writes, FailuresAnswerFalse) {
  TempTree dir;
  const std::string bad_paths[] = {(dir / "no/such/dir/f"), (dir / ""), (dir / "f") + std::string(1, '\0')};
  for (const char* method : {"write_all_text", "append_all_text", "write_all_bytes", "append_all_bytes"}) {
    for (const std::string& path : bad_paths) {
      SCOPED_TRACE(std::string(method) + " " + path);
      EXPECT_EQ(call(method, {{"path", path}, {"content", "YWI="}}), Json(false));
    }
  }
  EXPECT_NE(::access((dir / "f").c_str(), F_OK), 0) << "a path cut at its NUL was written";
}

TEST(Writes, ParametersAreReadPathFirst) {
  for (const char* method : {"write_all_text", "append_all_text", "write_all_bytes", "append_all_bytes"}) {
    SCOPED_TRACE(method);
    EXPECT_EQ(error_of(method, Json::object()), "Missing string param 'path'");
    EXPECT_EQ(error_of(method, {{"content", "x"}, {"path", 1u}}), "Missing string param 'path'");
    EXPECT_EQ(error_of(method, {{"path", "/nonexistent/x"}}), "Missing string param 'content'");
    EXPECT_EQ(error_of(method, {{"path", "/nonexistent/x"}, {"content", Json::array()}}), "Missing string param 'content'");
  }
}

TEST(Writes, NewFilesGetReadWriteForAllBeforeTheUmask) {
  TempTree dir;
  const mode_t saved = ::umask(0);
  const struct {
    mode_t mask;
    mode_t expected;
  } cases[] = {{0, 0666}, {022, 0644}, {077, 0600}};
  int n = 0;
  for (const auto& c : cases) {
    for (const char* method : {"write_all_text", "append_all_text"}) {
      ::umask(c.mask);
      const std::string path = dir / ("m" + std::to_string(n++));
      EXPECT_EQ(call(method, {{"path", path}, {"content", "x"}}), Json(true));
      struct stat info {};
      ASSERT_EQ(::stat(path.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, c.expected) << method << " umask " << c.mask;
    }
  }
  ::umask(saved);
}

// ---- FIFOs ----

// A FIFO nobody has open at the other end must not stall the single-threaded
// host in open(). Should a call block, a watchdog opens the other end (O_RDWR
// never blocks on Linux) so the test ends and reports the stall.
TEST(Fifos, NamedPipeWithoutPeerNeverStallsTheHost) {
  TempTree dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A stalled writer freed by the watchdog would otherwise die writing to a
  // FIFO whose reader has gone.
  struct sigaction ignore {}, saved {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &saved);
  const Json empty_read = {{"content", ""}, {"errorCode", 0u}};
  const Json empty_range = {{"buffer", ""}, {"rangeEnd", 0u}, {"rangeStart", 0u}};
  const struct {
    const char* method;
    Json params;
    Json expected;
  } cases[] = {
      {"read_all_text", {{"path", fifo}}, empty_read},
      {"read_all_bytes", {{"path", fifo}}, empty_read},
      {"read_file_range", {{"path", fifo}}, empty_range},
      {"write_all_text", {{"path", fifo}, {"content", "x"}}, Json(false)},
      {"append_all_bytes", {{"path", fifo}, {"content", "eA=="}}, Json(false)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    std::atomic<bool> done{false};
    std::atomic<bool> rescued{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (done) return;
      rescued = true;
      const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    });
    const Outcome outcome = handle(c.method, c.params);
    done = true;
    watchdog.join();
    EXPECT_FALSE(rescued) << "blocked until the other end was opened";
    EXPECT_TRUE(outcome.ok()) << outcome.error();
    if (outcome.ok()) {
      EXPECT_EQ(outcome.value(), c.expected);
    }
  }
  ::sigaction(SIGPIPE, &saved, nullptr);
}

// ---- over the real host ----

TEST(ContentsWire, WriteThenReadBack) {
  TempTree dir;
  const std::string path = (dir / "wire.bin");
  pelagon2::testing::HostProcess host;
  const std::string data = random_bytes(600000, 3);
  EXPECT_EQ(host.request("write_all_bytes", {{"path", path}, {"content", base64_encode(data)}}), Json({{"id", 1}, {"result", true}}));

  const Json first = host.request("read_file_range", {{"path", path}});
  ASSERT_TRUE(first.contains("result")) << first.dump();
  EXPECT_EQ(first["result"]["rangeEnd"], 524288u);
  const Json second = host.request("read_file_range", {{"path", path}, {"rangeStart", 524288u}});
  ASSERT_TRUE(second.contains("result")) << second.dump();
  EXPECT_EQ(second["result"]["rangeEnd"], 600000u);
  EXPECT_TRUE(decoded(first["result"]["buffer"]) + decoded(second["result"]["buffer"]) == data);

  EXPECT_EQ(host.request("append_all_text", {{"path", (dir / "t")}, {"content", "\xE2\x82\xAC"}}), Json({{"id", 1}, {"result", true}}));
  EXPECT_EQ(host.request("read_all_text", {{"path", (dir / "t")}}),
            Json({{"id", 1}, {"result", {{"content", "\xE2\x82\xAC"}, {"errorCode", 0u}}}}));
  EXPECT_EQ(host.request("read_file_range", {{"path", (dir / "none")}}),
            Json({{"error", {{"message", "No such file or directory (os error 2)"}}}, {"id", 1}}));
  EXPECT_EQ(host.request("get_max_file_range"), Json({{"id", 1}, {"result", 524288u}}));
}

// The host's standard input and output reached by name: writing there would
// put a forged frame ahead of the real reply, reading there would swallow the
// requests that follow.
TEST(ContentsWire, HostStreamsAreNeitherWrittenNorRead) {
  pelagon2::testing::HostProcess host;
  const std::string forged = pelagon2::frame(R"({"id":1,"result":"forged"})");
  const Json failed_read = {{"content", ""}, {"errorCode", 1u}};
  const struct {
    const char* method;
    Json params;
    Json result;  // null: the error below
  } cases[] = {
      {"write_all_text", {{"path", "/dev/stdout"}, {"content", forged}}, false},
      {"write_all_text", {{"path", "/proc/self/fd/1"}, {"content", forged}}, false},
      {"append_all_text", {{"path", "/dev/stdout"}, {"content", forged}}, false},
      {"write_all_bytes", {{"path", "/proc/self/fd/1"}, {"content", base64_encode(forged)}}, false},
      {"append_all_bytes", {{"path", "/dev/fd/1"}, {"content", base64_encode(forged)}}, false},
      {"read_all_bytes", {{"path", "/proc/self/fd/0"}}, failed_read},
      {"read_all_text", {{"path", "/dev/stdin"}}, failed_read},
      {"read_file_range", {{"path", "/proc/self/fd/0"}}, nullptr},
  };
  // Everything in one write, so a read of standard input would find the
  // requests behind its own.
  std::string frames;
  for (const auto& c : cases) {
    frames += pelagon2::frame(to_json_text({{"id", 1}, {"method", c.method}, {"params", c.params}}));
  }
  frames += pelagon2::frame(R"({"id":2,"method":"get_version"})");
  ASSERT_TRUE(host.send_raw(frames));
  for (const auto& c : cases) {
    const Json expected = c.result.is_null() ? Json{{"error", {{"message", os_error_text(EBUSY)}}}, {"id", 1}}
                                             : Json{{"id", 1}, {"result", c.result}};
    EXPECT_EQ(host.read_frame(3000).value_or("(no reply)"), to_json_text(expected))
        << c.method << " " << c.params["path"];
  }
  EXPECT_EQ(host.read_frame(3000).value_or("(no reply)"), R"({"id":2,"result":"2.0.2"})");
}

}  // namespace
}  // namespace pelagon2::files
