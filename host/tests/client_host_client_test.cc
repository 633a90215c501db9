// The client library against a host that misbehaves: a reply length it
// announces but never sends must not be allocated up front.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/process_limits.h"
#include "support/temp_tree.h"
#include "tools/client/host_client.h"

namespace pelagon2 {
namespace {

using testing::TempTree;

// A "host" that announces a reply of almost 4 GiB, sends ten bytes of it and exits.
std::string lying_host(const TempTree& dir) {
  const std::string path = dir.put("lying-host", "#!/bin/sh\nprintf '\\360\\377\\377\\3770123456789'\n");
  EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
  return path;
}

TEST(HostClient, AnnouncedLengthIsNotAllocatedBeforeItArrives) {
  if (testing::kSanitizedBuild) GTEST_SKIP() << "address-space limits do not work under the sanitizers";
  TempTree dir;
  const std::string host = lying_host(dir);
  const std::optional<std::uint64_t> mapped = testing::status_bytes(::getpid(), "VmSize");
  if (!mapped) GTEST_SKIP() << "no /proc status";
  // In a child whose address space has room for far less than the announced
  // length: allocating it would end the child.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const struct rlimit limit {*mapped + (std::uint64_t{512} << 20), *mapped + (std::uint64_t{512} << 20)};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
    try {
      HostClient client(host);
      const bool truncated = client.started() && !client.read_frame(10000).has_value() &&
                             client.last_error() == "reply truncated: expected 4294967280 bytes";
      ::_exit(truncated ? 0 : 1);
    } catch (...) {
      ::_exit(2);  // never back into the test runner from the child
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "the client died of signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << "1: wrong answer, 2: allocation failed, 3: no limit";
}

}  // namespace
}  // namespace pelagon2
