// The real host against requests that would exhaust its memory: they fail on
// their own and the host goes on serving, and what one large request took is
// given back afterwards.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/host_process.h"
#include "support/process_limits.h"
#include "support/temp_tree.h"

namespace pelagon2::testing {
namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

const Json kFailedRead = {{"content", ""}, {"errorCode", 1u}};

// A file of `size` bytes that occupies no disk space.
std::string sparse_file(const TempTree& dir, const std::string& name, std::uint64_t size) {
  const std::string path = dir / name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0) << path;
  EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0) << "sparse file of " << size << " bytes";
  ::close(fd);
  return path;
}

void expect_still_serving(HostProcess& host) {
  EXPECT_EQ(host.request("get_version", Json(), 9), Json({{"id", 9}, {"result", "2.0.2"}}));
}

TEST(HostResources, FileTooLargeForOneReplyFailsAtOnce) {
  TempTree dir;
  const std::string huge = sparse_file(dir, "huge", 40 * kGiB);
  HostProcess host;
  for (const char* method : {"read_all_bytes", "read_all_text"}) {
    EXPECT_EQ(host.request(method, {{"path", huge}}), Json({{"id", 1}, {"result", kFailedRead}})) << method;
  }
  expect_still_serving(host);
}

TEST(HostResources, AllocationFailureFailsOnlyItsRequest) {
  if (host_is_sanitized()) GTEST_SKIP() << "address-space limits do not work under the sanitizers";
  TempTree dir;
  // Small enough for one reply, too large for the memory the host may use.
  const std::string large = sparse_file(dir, "large", kGiB);
  HostProcess host;
  expect_still_serving(host);
  const std::optional<std::uint64_t> mapped = status_bytes(host.pid(), "VmSize");
  if (!mapped) GTEST_SKIP() << "no /proc status for the host";
  if (!limit_process(host.pid(), RLIMIT_AS, *mapped + 256 * kMiB)) GTEST_SKIP() << "cannot limit the host's memory";

  for (const char* method : {"read_all_bytes", "read_all_text"}) {
    EXPECT_EQ(host.request(method, {{"path", large}}), Json({{"id", 1}, {"result", kFailedRead}})) << method;
  }
  expect_still_serving(host);
}

TEST(HostResources, LargeRequestsGiveTheirMemoryBack) {
  if (host_is_sanitized()) GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine";
  // One large string (the parser's working memory), and many small values
  // (heap pieces that do not merge back by themselves). Each is about 100 MB
  // of request.
  std::string many = R"({"id":1,"method":"get_version","params":[)";
  for (int i = 0; i < 1000000; ++i) many += (i == 0 ? "\"" : ",\"") + std::string(90, 'x') + "\"";
  many += "]}";
  const struct {
    const char* label;
    std::string request;
    std::string reply;
  } cases[] = {
      {"one large string",
       to_json_text(Json{{"id", 1},
                         {"method", "write_all_bytes"},
                         {"params", {{"path", "/nonexistent/dir/file"}, {"content", std::string(100 * kMiB, 'A')}}}}),
       R"({"id":1,"result":false})"},
      {"many small values", many, R"({"id":1,"result":"2.0.2"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    HostProcess host;
    expect_still_serving(host);
    const std::optional<std::uint64_t> before = status_bytes(host.pid(), "VmRSS");
    if (!before) GTEST_SKIP() << "no /proc status for the host";
    ASSERT_TRUE(host.send_frame(c.request));
    EXPECT_EQ(host.read_frame().value_or(""), c.reply);
    expect_still_serving(host);  // the memory goes back once the reply is out
    const std::uint64_t after = status_bytes(host.pid(), "VmRSS").value_or(0);
    EXPECT_LT(after, *before + 48 * kMiB) << "resident before " << *before / kMiB << " MiB, after " << after / kMiB
                                          << " MiB";
  }
}

}  // namespace
}  // namespace pelagon2::testing
