// Starting a program without waiting for it: arguments verbatim, inherited
// streams, environment and directory, the system's text for a failed start,
// and no child of ours left behind.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/detached_spawn.h"
#include "support/temp_tree.h"

namespace pelagon2 {
namespace {

using namespace std::string_literals;

// Runs `start` with the test's standard output sent into a pipe, and returns
// what the started program wrote there by the time it exited.
std::string stdout_of(const std::function<void()>& start) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  start();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(fds[1]);
  // The pipe ends once the program, the last writer, has exited.
  std::string out;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    out.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fds[0]);
  return out;
}

void expect_started(const Done& started) { EXPECT_TRUE(started.ok()) << started.error(); }

TEST(DetachedSpawn, ArgumentsReachTheProgramVerbatim) {
  const std::string address = "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
  const std::string out = stdout_of([&] {
    expect_started(spawn_detached("printf", {"%s|%s|%s", address, "$HOME * 'quoted' two words", ""}));
  });
  EXPECT_EQ(out, address + "|$HOME * 'quoted' two words|");
}

TEST(DetachedSpawn, InheritsEnvironmentAndWorkingDirectory) {
  testing::TempTree tree;
  char* previous = ::getcwd(nullptr, 0);
  ASSERT_NE(previous, nullptr);
  ASSERT_EQ(::chdir(tree.path().c_str()), 0);
  ::setenv("PELAGON2_SPAWN_PROBE", "probe value", 1);
  const std::string out = stdout_of([] {
    expect_started(spawn_detached("sh", {"-c", "printf '%s\\n' \"$PELAGON2_SPAWN_PROBE\"; pwd -P"}));
  });
  ::unsetenv("PELAGON2_SPAWN_PROBE");
  ASSERT_EQ(::chdir(previous), 0);
  std::free(previous);
  char* real = ::realpath(tree.path().c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(out, "probe value\n"s + real + "\n");
  std::free(real);
}

TEST(DetachedSpawn, ProgramGetsDefaultBrokenPipeAction) {
  std::ifstream status("/proc/self/status");
  if (!status) GTEST_SKIP() << "no /proc here";
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);  // as the host runs
  const std::string out = stdout_of([] { expect_started(spawn_detached("grep", {"^SigIgn:", "/proc/self/status"})); });
  ::sigaction(SIGPIPE, &previous, nullptr);
  std::istringstream line(out.substr(out.find(':') + 1));
  unsigned long long ignored_mask = ~0ULL;
  line >> std::hex >> ignored_mask;
  ASSERT_FALSE(line.fail()) << out;
  EXPECT_EQ(ignored_mask & (1ULL << (SIGPIPE - 1)), 0u) << out;
}

TEST(DetachedSpawn, FailedStartReportsTheSystemsText) {
  const Done missing = spawn_detached("pelagon2-no-such-program", {"x"});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), std::strerror(ENOENT));

  const Done nul = spawn_detached("printf", {"cut\0short"s});
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error(), std::strerror(EINVAL));
}

TEST(DetachedSpawn, LeavesNoChildOfOursBehind) {
  expect_started(spawn_detached("sh", {"-c", "exit 3"}));
  expect_started(spawn_detached("sleep", {"0.2"}));
  // Neither a zombie nor a running child: the started programs belong to the system.
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(DetachedSpawn, WorksWhenChildrenAreReapedBySystem) {
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ignore, &previous);
  const Done missing = spawn_detached("pelagon2-no-such-program", {});
  const std::string out = stdout_of([] { expect_started(spawn_detached("printf", {"started"})); });
  ::sigaction(SIGCHLD, &previous, nullptr);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), std::strerror(ENOENT));
  EXPECT_EQ(out, "started");
}

// The child's environment with changes: the entry of a changed name appears
// once, with the last change's value; the rest of the host's is kept.
TEST(SpawnChild, ChangedEnvironmentReplacesAddsAndKeeps) {
  ::setenv("PELAGON2_SPAWN_KEEP", "kept", 1);
  ::setenv("PELAGON2_SPAWN_REPLACE", "old", 1);
  ::unsetenv("PELAGON2_SPAWN_NEW");
  const std::string out = stdout_of([] {
    pid_t pid = -1;
    const int rc = spawn_child("env", {}, {},
                               {"PELAGON2_SPAWN_REPLACE=first", "PELAGON2_SPAWN_NEW=a=b", "PELAGON2_SPAWN_REPLACE=last"},
                               pid);
    ASSERT_EQ(rc, 0) << std::strerror(rc);
    int status = 0;
    while (::waitpid(pid, &status, 0) != pid && errno == EINTR) {
    }
  });
  ::unsetenv("PELAGON2_SPAWN_KEEP");
  ::unsetenv("PELAGON2_SPAWN_REPLACE");
  std::istringstream lines(out);
  std::vector<std::string> ours;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("PELAGON2_SPAWN_", 0) == 0) ours.push_back(line);
  }
  std::sort(ours.begin(), ours.end());
  EXPECT_EQ(ours, (std::vector<std::string>{"PELAGON2_SPAWN_KEEP=kept", "PELAGON2_SPAWN_NEW=a=b",
                                             "PELAGON2_SPAWN_REPLACE=last"}));
  EXPECT_NE(out.find("PATH="), std::string::npos) << out;

  pid_t pid = -1;
  EXPECT_EQ(spawn_child("env", {}, {}, {"PELAGON2_SPAWN_CUT=cut\0short"s}, pid), EINVAL);
}

}  // namespace
}  // namespace pelagon2
