#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "files/run_process.h"
#include "support/host_process.h"
#include "support/temp_tree.h"

namespace pelagon2::files {
namespace {

using pelagon2::testing::read_file;
using pelagon2::testing::TempTree;
using namespace std::string_literals;

const std::string kReplacement = "\xEF\xBF\xBD";

Json run(const Json& params) {
  Outcome outcome = run_process(params);
  EXPECT_TRUE(outcome.ok()) << outcome.error();
  return outcome.ok() ? outcome.value() : Json();
}

Json run_shell(const std::string& script) {
  return run({{"fileName", "/bin/sh"}, {"arguments", "-c '" + script + "'"}, {"waitForExit", true}});
}

Json waited(Json exit_code, bool truncated, std::string err, std::string out) {
  return {{"exitCode", std::move(exit_code)}, {"outputTruncated", truncated}, {"stderr", std::move(err)}, {"stdout", std::move(out)}};
}

// Polls for a file the background command writes last; no timing is asserted.
std::string wait_for_file(const std::string& path) {
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in(path);
    std::string line;
    if (in && std::getline(in, line) && !line.empty()) return line;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "the background command never wrote " << path;
  return {};
}

TEST(ShellCommandLine, ProgramIsOneQuotedWordFollowedByTheRawArguments) {
  const struct {
    std::string_view program, arguments, line;
  } cases[] = {
      {"/bin/echo", "hello", "'/bin/echo' hello"},
      {"it's", "", "'it'\\''s' "},
      {"''", "a; b | c", "''\\'''\\''' a; b | c"},
      {"$HOME `x` \"q\"", "$HOME", "'$HOME `x` \"q\"' $HOME"},
      {"", "", "'' "},
  };
  for (const auto& c : cases) EXPECT_EQ(shell_command_line(c.program, c.arguments), c.line) << c.program;
}

TEST(RunProcessWaiting, ExitStatusAndBothStreams) {
  TempTree dir;
  const std::string odd_program = dir.put("it's \"odd\"", "#!/bin/sh\necho \"ran:$1\"\n");
  ::chmod(odd_program.c_str(), 0755);
  const std::string not_executable = dir.put("plain", "echo never\n");

  struct Case {
    const char* label;
    Json params;
    Json exit_code;
    std::string err;  // "*": anything non-empty
    std::string out;
  };
  const Case cases[] = {
      {"echo", {{"fileName", "/bin/echo"}, {"arguments", "hello"}}, 0u, "", "hello\n"},
      {"quoted program name", {{"fileName", odd_program}, {"arguments", "x y"}}, 0u, "", "ran:x\n"},
      {"shell syntax in arguments", {{"fileName", "/bin/echo"}, {"arguments", "a; echo b | tr b c"}}, 0u, "", "a\nc\n"},
      {"non-string arguments are empty", {{"fileName", "/bin/echo"}, {"arguments", 5u}}, 0u, "", "\n"},
      {"exit status", {{"fileName", "/bin/sh"}, {"arguments", "-c 'echo oops >&2; exit 3'"}}, 3u, "oops\n", ""},
      {"status 255", {{"fileName", "/bin/sh"}, {"arguments", "-c 'exit 255'"}}, 255u, "", ""},
      {"not found", {{"fileName", (dir / "missing")}}, 127u, "*", ""},
      {"not executable", {{"fileName", not_executable}}, 126u, "*", ""},
      // $$ is the shell the host started.
      {"killed by TERM", {{"fileName", "echo"}, {"arguments", "before; kill -TERM $$; echo after"}}, nullptr, "", "before\n"},
      {"killed by KILL", {{"fileName", "kill"}, {"arguments", "-KILL $$"}}, nullptr, "", ""},
      {"invalid UTF-8 replaced", {{"fileName", "/usr/bin/printf"}, {"arguments", "'\\377a\\303' ; printf '\\355\\240\\200' >&2"}}, 0u,
       kReplacement + kReplacement + kReplacement, kReplacement + "a" + kReplacement},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Json params = c.params;
    params["waitForExit"] = true;
    Json reply = run(params);
    if (c.err == "*") {
      EXPECT_FALSE(reply["stderr"].get<std::string>().empty());
      reply["stderr"] = "*";
    }
    EXPECT_EQ(reply, waited(c.exit_code, false, c.err, c.out));
  }
}

TEST(RunProcessWaiting, EachStreamIsCutAtTheLimitAndDrainedToItsEnd) {
  const auto bytes = [&](std::size_t n) { return "head -c " + std::to_string(n) + " /dev/zero | tr \"\\000\" a"; };
  struct Case {
    const char* label;
    std::string script;
    std::size_t out_a;  // expected run of 'a' in stdout
    std::string out_tail;
    std::size_t err_a;
    bool truncated;
  };
  const Case cases[] = {
      {"exactly the limit", bytes(409600), 409600, "", 0, false},
      {"one byte over", bytes(409601), 409600, "", 0, true},
      {"500000 bytes", bytes(500000), 409600, "", 0, true},
      {"cut two-byte character", bytes(409599) + "; printf \"\\303\\251tail\"", 409599, kReplacement, 0, true},
      {"character ending at the limit", bytes(409598) + "; printf \"\\303\\251tail\"", 409598, "\xC3\xA9", 0, true},
      // A child that fills stderr while we wait on stdout must still finish.
      {"1 MiB on stderr", bytes(1 << 20) + " >&2; echo done", 0, "done\n", 409600, true},
      {"both streams large", bytes(700000) + " & " + bytes(600000) + " >&2; wait", 409600, "", 409600, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Json reply = run_shell(c.script);
    EXPECT_EQ(reply["exitCode"], 0u);
    EXPECT_EQ(reply["outputTruncated"], c.truncated);
    const std::string out = reply["stdout"].get<std::string>();
    const std::string err = reply["stderr"].get<std::string>();
    EXPECT_TRUE(out == std::string(c.out_a, 'a') + c.out_tail) << "stdout size " << out.size();
    EXPECT_TRUE(err == std::string(c.err_a, 'a')) << "stderr size " << err.size();
  }
}

TEST(RunProcessWaiting, ChildGetsTheDefaultBrokenPipeAction) {
  // The host ignores SIGPIPE; a pipeline in the child must still end quietly
  // when its reader goes away instead of failing with EPIPE.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  const Json reply = run_shell("yes | head -c 2");
  sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(reply, waited(0u, false, "", "y\n"));
}

TEST(RunProcessParams, ErrorsAndTheWaitSwitch) {
  EXPECT_EQ(run_process(Json::object()).error(), "Missing string param 'fileName'");
  EXPECT_EQ(run_process({{"fileName", 1u}, {"waitForExit", true}}).error(), "Missing string param 'fileName'");
  EXPECT_EQ(run_process({{"fileName", "a\0b"s}, {"waitForExit", true}}).error(),
            "run_failed: a\0b: nul byte found in provided data"s);
  EXPECT_EQ(run_process({{"fileName", "/bin/echo"}, {"arguments", "x\0y"s}}).error(),
            "run_failed: /bin/echo: nul byte found in provided data");

  // Only the JSON value true waits; everything else starts in the background.
  for (const Json& wait : {Json("true"), Json(1u), Json(false), Json()}) {
    Json params = {{"fileName", "/bin/echo"}, {"arguments", "x"}};
    if (!wait.is_null()) params["waitForExit"] = wait;
    EXPECT_EQ(run(params), Json({{"exitCode", nullptr}})) << wait.dump();
  }
}

TEST(RunProcessBackground, LeavesNoChildOfOursBehind) {
  TempTree dir;
  const std::string marker = (dir / "pid");
  const Json reply = run({{"fileName", "/bin/sh"}, {"arguments", "-c 'cat; echo $$ > " + marker + "'"}});
  EXPECT_EQ(reply, Json({{"exitCode", nullptr}}));
  // stdin is the null device, so cat ends at once and the marker appears.
  const std::string pid_text = wait_for_file(marker);
  ASSERT_FALSE(pid_text.empty());
  // Whether or not the command has finished, it is not our child: nothing is
  // left for us to wait for, and nothing will linger as our zombie.
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(RunProcessBackground, StartIsReportedWhenChildrenAreReapedBySystem) {
  // A host started with SIGCHLD ignored cannot wait for any child: the start
  // must not be reported as a failure for that.
  TempTree dir;
  const std::string marker = (dir / "pid");
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ignore, &previous);
  const Json reply = run({{"fileName", "/bin/sh"}, {"arguments", "-c 'echo $$ > " + marker + "'"}});
  ::sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(reply, Json({{"exitCode", nullptr}}));
  EXPECT_FALSE(wait_for_file(marker).empty());
}

#if defined(__linux__)
// Children of `parent` according to /proc (zombies included).
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* entry = ::readdir(proc)) {
    std::ifstream stat_file("/proc/"s + entry->d_name + "/stat");
    std::string stat_line;
    if (!std::getline(stat_file, stat_line)) continue;
    const auto close = stat_line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long ppid = 0;
    if (std::sscanf(stat_line.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent) {
      found.push_back(static_cast<pid_t>(std::stol(entry->d_name)));
    }
  }
  ::closedir(proc);
  return found;
}

std::string state_of(pid_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat_file, line)) return "gone";
  return line.substr(line.rfind(')') + 2, 1);
}

TEST(RunProcessWire, BackgroundCommandEndsWithoutBecomingTheHostsZombie) {
  TempTree dir;
  pelagon2::testing::HostProcess host;
  const std::string marker = (dir / "pid");
  // Writes to stdout and reads stdin: neither may touch the protocol pipes.
  const Json reply = host.request(
      "run_process", {{"fileName", "/bin/sh"}, {"arguments", "-c 'echo noise; cat; echo $$ > " + marker + "'"}});
  EXPECT_EQ(reply, Json({{"id", 1}, {"result", {{"exitCode", nullptr}}}}));
  const std::string pid_text = wait_for_file(marker);
  ASSERT_FALSE(pid_text.empty());
  const pid_t child = static_cast<pid_t>(std::stol(pid_text));
  for (int i = 0; i < 1000 && state_of(child) != "gone" && state_of(child) != "Z"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(children_of(host.pid()).empty()) << "the host still has a child";

  // The stream is intact: the next reply is the next frame.
  EXPECT_EQ(host.request("get_max_file_range", Json(), 2), Json({{"id", 2}, {"result", 524288u}}));
}
#endif

TEST(RunProcessWire, WaitedCommandSeesEndOfInputAndOwnPipes) {
  pelagon2::testing::HostProcess host;
  // If the child shared the host's stdin it would block here or eat the next request.
  const Json reply = host.request("run_process", {{"fileName", "/bin/cat"}, {"arguments", ""}, {"waitForExit", true}});
  EXPECT_EQ(reply, Json({{"id", 1}, {"result", waited(0u, false, "", "")}}));
  const Json big = host.request(
      "run_process", {{"fileName", "/bin/sh"}, {"arguments", "-c 'head -c 500000 /dev/zero | tr \"\\000\" b'"}, {"waitForExit", true}},
      2);
  ASSERT_TRUE(big.contains("result")) << big.dump().substr(0, 200);
  EXPECT_EQ(big["result"]["stdout"], std::string(409600, 'b'));
  EXPECT_EQ(big["result"]["outputTruncated"], true);
  EXPECT_EQ(host.request("get_max_file_range", Json(), 3), Json({{"id", 3}, {"result", 524288u}}));
}

}  // namespace
}  // namespace pelagon2::files
