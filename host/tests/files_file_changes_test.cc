#include "files/file_changes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/process_limits.h"
#include "support/temp_tree.h"

namespace pelagon2::files {
namespace {

using pelagon2::testing::exists_no_follow;
using pelagon2::testing::HostProcess;
using pelagon2::testing::mode_bits;
using pelagon2::testing::read_file;
using pelagon2::testing::running_as_root;
using pelagon2::testing::TempTree;
using pelagon2::testing::write_file;

const std::string kNul(1, '\0');

// A second file system for the cross-device paths, when this machine has one.
std::optional<std::string> other_file_system_than(const std::string& path) {
  struct stat here {};
  struct stat there {};
  if (::stat(path.c_str(), &here) != 0 || ::stat("/dev/shm", &there) != 0) return std::nullopt;
  if (here.st_dev == there.st_dev || ::access("/dev/shm", W_OK) != 0) return std::nullopt;
  return std::string("/dev/shm");
}

std::string patterned_bytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 12345;
  for (char& c : bytes) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  return bytes;
}

TEST(ParentPath, OneComponentUpIgnoringTrailingSeparators) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"a/b/c", "a/b"}, {"a/b/c/", "a/b"},     {"a//b", "a"},       {"/a", "/"},          {"//a", "/"},
      {"./a", "."},     {"a", std::nullopt},   {"a/", std::nullopt}, {"/", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_path(path), parent) << path;
}

class ChangesWire : public ::testing::Test {
 protected:
  bool call(const char* method, const Json& params) {
    const Json reply = host.request(method, params);
    EXPECT_TRUE(reply.contains("result") && reply["result"].is_boolean()) << method << " " << reply.dump();
    return reply.value("result", false);
  }
  bool copy(const std::string& source, const std::string& target) {
    return call("copy_file", {{"sourcePath", source}, {"targetPath", target}});
  }
  bool move(const std::string& source, const std::string& target) {
    return call("move_file", {{"sourcePath", source}, {"targetPath", target}});
  }
  bool on_path(const char* method, const std::string& path) { return call(method, {{"path", path}}); }
  void mkdir(const std::string& name, mode_t mode = 0755) { ASSERT_EQ(::mkdir((dir / name).c_str(), mode), 0) << name; }
  void symlink(const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), (dir / name).c_str()), 0) << name;
  }

  TempTree dir;
  HostProcess host;
};

TEST_F(ChangesWire, MissingParametersAreTheOnlyErrors) {
  struct Case {
    const char* method;
    Json params;
    const char* message;
  };
  const Case cases[] = {
      {"copy_file", Json::object(), "Missing string param 'sourcePath'"},
      {"copy_file", {{"sourcePath", "/x"}}, "Missing string param 'targetPath'"},
      {"copy_file", {{"sourcePath", 1}, {"targetPath", "/x"}}, "Missing string param 'sourcePath'"},
      {"move_file", {{"sourcePath", "/x"}, {"targetPath", nullptr}}, "Missing string param 'targetPath'"},
      {"delete_file", Json(), "Missing string param 'path'"},
      {"create_directory", Json::array({"/x"}), "Missing string param 'path'"},
      {"remove_directory", {{"path", false}}, "Missing string param 'path'"},
  };
  for (const Case& c : cases) EXPECT_EQ(host.request(c.method, c.params)["error"], (Json{{"message", c.message}}));
  write_file(dir / "kept", "k");  // checked before anything changes
  EXPECT_TRUE(host.request("move_file", {{"sourcePath", dir / "kept"}}).contains("error"));
  EXPECT_EQ(read_file(dir / "kept"), "k");
}

TEST_F(ChangesWire, CopyReplacesContentsAndCarriesPermissionBits) {
  write_file(dir / "src", "new contents");
  ASSERT_EQ(::chmod((dir / "src").c_str(), 0754), 0);
  write_file(dir / "existing", "old and much longer contents");
  ASSERT_EQ(::chmod((dir / "existing").c_str(), 0600), 0);
  symlink("src", "link");
  for (const char* target : {"existing", "fresh"}) {
    EXPECT_TRUE(copy(dir / "link", dir / target)) << target;  // the source link is followed
    EXPECT_EQ(read_file(dir / target), "new contents");
    EXPECT_EQ(mode_bits(dir / target), 0754u) << target;  // exact, not narrowed by the umask
  }
  // /proc files claim a size of 0; their contents must still arrive.
  const std::string proc = read_file("/proc/version");
  if (proc.empty()) GTEST_SKIP() << "no /proc here";
  EXPECT_TRUE(copy("/proc/version", dir / "version"));
  EXPECT_EQ(read_file(dir / "version"), proc);
}

TEST_F(ChangesWire, CopyRefusesWhatCannotBeCopiedWithoutHangingOrHarm) {
  write_file(dir / "src", "data");
  mkdir("sub");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(::link((dir / "src").c_str(), (dir / "hard").c_str()), 0);
  symlink("src", "alias");
  const std::pair<std::string, std::string> cases[] = {
      {dir / "sub", dir / "out1"},        {dir / "missing", dir / "out2"},
      {dir / "fifo", dir / "out3"},       // no writer: must not block
      {dir / "src" + kNul, dir / "out4"}, {dir / "src", dir / "out5" + kNul},
      {dir / "src", dir / "sub"},         {dir / "src", dir / "no/such/dir"},
      {dir / "src", dir / "fifo"},        // no reader: must not block
      {dir / "src", dir / "src"},         {dir / "src", dir / "alias"},
      {dir / "src", dir / "hard"},        // onto itself: truncating would destroy it
  };
  for (const auto& [source, target] : cases) EXPECT_FALSE(copy(source, target)) << source << " -> " << target;
  for (const char* name : {"out1", "out2", "out3", "out4", "out5"}) EXPECT_FALSE(exists_no_follow(dir / name)) << name;
  EXPECT_EQ(read_file(dir / "src"), "data");
}

TEST_F(ChangesWire, CopyAndMoveAcrossFileSystems) {
  const std::string bytes = patterned_bytes((std::size_t{3} << 20) + 17);
  write_file(dir / "big", bytes);
  ASSERT_EQ(::chmod((dir / "big").c_str(), 0640), 0);
  EXPECT_TRUE(copy(dir / "big", dir / "big.copy"));
  EXPECT_TRUE(read_file(dir / "big.copy") == bytes);

  const std::optional<std::string> other = other_file_system_than(dir.path());
  if (!other) GTEST_SKIP() << "no second file system";
  TempTree far(*other);
  EXPECT_TRUE(copy(dir / "big", far / "copied"));
  EXPECT_TRUE(read_file(far / "copied") == bytes);
  EXPECT_TRUE(move(dir / "big", far / "moved"));
  EXPECT_FALSE(exists_no_follow(dir / "big"));
  EXPECT_TRUE(read_file(far / "moved") == bytes);
  EXPECT_EQ(mode_bits(far / "moved"), 0640u);

  // A directory cannot be copied: it stays where it was and nothing appears.
  mkdir("tree");
  write_file(dir / "tree/leaf", "l");
  EXPECT_FALSE(move(dir / "tree", far / "tree"));
  EXPECT_EQ(read_file(dir / "tree/leaf"), "l");
  EXPECT_FALSE(exists_no_follow(far / "tree"));
}

TEST_F(ChangesWire, MoveRenamesWithinOneFileSystem) {
  write_file(dir / "a", "moved");
  write_file(dir / "b", "replaced");
  EXPECT_TRUE(move(dir / "a", dir / "b"));
  EXPECT_FALSE(exists_no_follow(dir / "a"));
  EXPECT_EQ(read_file(dir / "b"), "moved");
  mkdir("d");
  write_file(dir / "d/inner", "i");
  EXPECT_TRUE(move(dir / "d", dir / "e"));  // directories rename too
  EXPECT_EQ(read_file(dir / "e/inner"), "i");
  EXPECT_FALSE(move(dir / "missing", dir / "c"));
  EXPECT_FALSE(move(dir / "b" + kNul, dir / "c"));
  EXPECT_FALSE(exists_no_follow(dir / "c"));
}

TEST_F(ChangesWire, MoveKeepsTheSourceWhenItCannotBeRemoved) {
  if (running_as_root()) GTEST_SKIP() << "root ignores permission bits";
  const std::optional<std::string> other = other_file_system_than(dir.path());
  if (!other) GTEST_SKIP() << "no second file system";
  TempTree far(*other);
  mkdir("ro");
  write_file(dir / "ro/src", "stay");
  ASSERT_EQ(::chmod((dir / "ro").c_str(), 0555), 0);
  EXPECT_FALSE(move(dir / "ro/src", far / "dst"));
  EXPECT_EQ(read_file(dir / "ro/src"), "stay");
  EXPECT_EQ(read_file(far / "dst"), "stay");
}

TEST_F(ChangesWire, DeleteRemovesEntriesButNotDirectoriesOrLinkTargets) {
  write_file(dir / "file", "f");
  write_file(dir / "target", "t");
  symlink("target", "link");
  symlink("nowhere", "dangling");
  mkdir("sub");
  for (const char* name : {"file", "link", "dangling"}) {
    EXPECT_TRUE(on_path("delete_file", dir / name)) << name;
    EXPECT_FALSE(exists_no_follow(dir / name)) << name;
  }
  for (const std::string& path : {dir / "sub", dir / "file", std::string(), dir / "target" + kNul}) {
    EXPECT_FALSE(on_path("delete_file", path)) << path;
  }
  EXPECT_TRUE(exists_no_follow(dir / "sub"));
  EXPECT_EQ(read_file(dir / "target"), "t");
}

TEST_F(ChangesWire, CreateDirectoryWalksUpAndCreatesTopmostFirst) {
  write_file(dir / "file", "f");
  mkdir("real");
  symlink("real", "dirlink");
  symlink("nowhere", "dangling");
  const std::pair<std::string, bool> cases[] = {
      {dir / "a/b/c", true},     {dir / "a/b/c", true},  {dir / "x/y/", true}, {dir / "dirlink/through", true},
      {dir / "dirlink", true},   {"", true},             {dir / "file", false}, {dir / "file/sub/deeper", false},
      {dir / "dangling", false}, {dir / "n" + kNul + "ul", false},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(on_path("create_directory", path), expected) << path;
  for (const char* made : {"a/b/c", "x/y", "real/through"}) {
    struct stat st {};
    EXPECT_TRUE(::lstat((dir / made).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << made;
  }
  EXPECT_FALSE(exists_no_follow(dir / "n"));
}

TEST_F(ChangesWire, CreateDirectoryAppliesTheUmaskToEveryLevel) {
  const mode_t previous = ::umask(027);
  HostProcess masked;  // inherits the umask
  ::umask(previous);
  EXPECT_EQ(masked.request("create_directory", {{"path", dir / "p/q"}})["result"], Json(true));
  EXPECT_EQ(mode_bits(dir / "p"), 0750u);
  EXPECT_EQ(mode_bits(dir / "p/q"), 0750u);
}

TEST_F(ChangesWire, CreateDirectoryUnderReadOnlyParentFails) {
  if (running_as_root()) GTEST_SKIP() << "root ignores permission bits";
  mkdir("ro", 0555);
  EXPECT_FALSE(on_path("create_directory", dir / "ro/new/deeper"));
  EXPECT_FALSE(exists_no_follow(dir / "ro/new"));
}

TEST_F(ChangesWire, RemoveDirectoryDeletesTheTreeButNeverFollowsLinks) {
  TempTree outside;
  write_file(outside / "keep", "outside");
  std::string deep = dir / "tree/deep";
  for (int i = 0; i < 200; ++i) deep += "/d";
  ASSERT_TRUE(create_directory_all(deep));
  write_file(deep + "/leaf", "x");
  write_file(dir / "tree/top", "1");
  symlink(outside.path(), "tree/out-dir");
  symlink(outside / "keep", "tree/deep/out-file");
  symlink("nowhere", "tree/dangling");
  ASSERT_EQ(::mkfifo((dir / "tree/fifo").c_str(), 0644), 0);
  EXPECT_TRUE(on_path("remove_directory", dir / "tree"));
  EXPECT_FALSE(exists_no_follow(dir / "tree"));
  EXPECT_EQ(read_file(outside / "keep"), "outside");
}

TEST_F(ChangesWire, RemoveDirectoryOnALinkRemovesOnlyTheLink) {
  ASSERT_TRUE(create_directory_all(dir / "real/inner"));
  write_file(dir / "real/inner/file", "kept");
  symlink("real", "link");
  symlink("real", "link2");
  // With a trailing separator the name would resolve through the link; the
  // link is still what goes.
  for (const char* path : {"link", "link2/"}) EXPECT_TRUE(on_path("remove_directory", dir / path)) << path;
  EXPECT_FALSE(exists_no_follow(dir / "link"));
  EXPECT_FALSE(exists_no_follow(dir / "link2"));
  EXPECT_EQ(read_file(dir / "real/inner/file"), "kept");

  write_file(dir / "file", "f");
  for (const std::string& path : {dir / "file", dir / "missing", std::string(), dir.path() + kNul}) {
    EXPECT_FALSE(on_path("remove_directory", path)) << path;
  }
  EXPECT_EQ(read_file(dir / "file"), "f");
}

TEST_F(ChangesWire, RemoveDirectoryStopsAtAnEntryItCannotRemove) {
  if (running_as_root()) GTEST_SKIP() << "root ignores permission bits";
  ASSERT_TRUE(create_directory_all(dir / "tree/locked"));
  write_file(dir / "tree/locked/file", "f");
  ASSERT_EQ(::chmod((dir / "tree/locked").c_str(), 0555), 0);
  EXPECT_FALSE(on_path("remove_directory", dir / "tree"));
  EXPECT_EQ(read_file(dir / "tree/locked/file"), "f");
}

// Names in `dir` that start with `prefix` (temporary files left behind).
std::vector<std::string> names_starting_with(const std::string& dir, std::string_view prefix) {
  std::vector<std::string> found;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      if (std::string_view(e->d_name).substr(0, prefix.size()) == prefix) found.emplace_back(e->d_name);
    }
    ::closedir(d);
  }
  return found;
}

bool is_regular_no_follow(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

TEST_F(ChangesWire, MoveAcrossFileSystemsReplacesTheTargetNameAsRenameDoes) {
  const std::optional<std::string> other = other_file_system_than(dir.path());
  if (!other) GTEST_SKIP() << "no second file system";
  TempTree far(*other);
  write_file(far / "victim", "victim data");
  ASSERT_EQ(::symlink((far / "victim").c_str(), (far / "link").c_str()), 0);
  write_file(far / "other", "other name's data");
  ASSERT_EQ(::link((far / "other").c_str(), (far / "hard").c_str()), 0);
  ASSERT_EQ(::mkdir((far / "sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("nowhere", (far / "dangling").c_str()), 0);

  const struct {
    const char* target;
    bool moved;
  } cases[] = {{"link", true}, {"hard", true}, {"dangling", true}, {"sub", false}, {"sub/", false}, {"missing/x", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string source = dir.put("src", std::string("moved to ") + c.target);
    EXPECT_EQ(move(source, far / c.target), c.moved);
    if (c.moved) {
      EXPECT_TRUE(is_regular_no_follow(far / c.target)) << "the name itself is replaced";
      EXPECT_EQ(read_file(far / c.target), std::string("moved to ") + c.target);
      EXPECT_FALSE(exists_no_follow(source));
    } else {
      EXPECT_EQ(read_file(source), std::string("moved to ") + c.target);
    }
  }
  EXPECT_EQ(read_file(far / "victim"), "victim data");
  EXPECT_EQ(read_file(far / "other"), "other name's data");
  EXPECT_FALSE(exists_no_follow(far / "nowhere"));
  EXPECT_EQ(names_starting_with(far.path(), ".pelagon2"), std::vector<std::string>());
  EXPECT_EQ(names_starting_with(far / "sub", ".pelagon2"), std::vector<std::string>());
}

TEST_F(ChangesWire, MoveOntoAnotherLinkOfTheSourceLeavesOnlyTheTarget) {
  write_file(dir / "a", "shared");
  ASSERT_EQ(::link((dir / "a").c_str(), (dir / "b").c_str()), 0);
  mkdir("sub");
  ASSERT_EQ(::link((dir / "a").c_str(), (dir / "sub/c").c_str()), 0);
  EXPECT_TRUE(move(dir / "a", dir / "b"));
  EXPECT_FALSE(exists_no_follow(dir / "a"));
  EXPECT_TRUE(move(dir / "sub/c", dir / "sub/../b"));
  EXPECT_FALSE(exists_no_follow(dir / "sub/c"));
  EXPECT_EQ(read_file(dir / "b"), "shared");

  // One name reached two ways is still one name: it stays.
  ASSERT_EQ(::link((dir / "b").c_str(), (dir / "keep-link-count").c_str()), 0);
  for (const std::string& same : {dir / "b", dir / "sub/../b", dir / "./b"}) {
    EXPECT_TRUE(move(dir / "b", same)) << same;
    EXPECT_EQ(read_file(dir / "b"), "shared") << same;
  }
}

TEST_F(ChangesWire, RemoveDirectoryRefusesDotAndDotDotBeforeTouchingAnything) {
  ASSERT_TRUE(create_directory_all(dir / "tree/sub"));
  write_file(dir / "tree/file", "f");
  write_file(dir / "tree/sub/inner", "i");
  for (const char* path : {"tree/.", "tree/./", "tree/sub/..", "tree/sub/../", "tree/sub/..//"}) {
    EXPECT_FALSE(on_path("remove_directory", dir / path)) << path;
    EXPECT_EQ(read_file(dir / "tree/file"), "f") << path;
    EXPECT_EQ(read_file(dir / "tree/sub/inner"), "i") << path;
  }
  // A dot inside a name is just a name.
  ASSERT_TRUE(create_directory_all(dir / "tree/.hidden/..."));
  EXPECT_TRUE(on_path("remove_directory", dir / "tree/.hidden"));
  EXPECT_FALSE(exists_no_follow(dir / "tree/.hidden"));
}

TEST_F(ChangesWire, RemoveDirectoryOfAnyDepthWithFewDescriptors) {
  TempTree outside;
  write_file(outside / "keep", "outside");
  // Far deeper than the host may open descriptors, made one descriptor at a
  // time. (Each removal of a directory costs milliseconds on some disks.)
  constexpr int kDepth = 300;
  mkdir("deep");
  int level = ::open((dir / "deep").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(level, 0);
  for (int i = 0; i < kDepth; ++i) {
    if (i % 10 == 0) {
      ASSERT_EQ(::symlinkat(outside.path().c_str(), level, "out"), 0);
      ASSERT_EQ(::mkdirat(level, "e", 0755), 0);  // a sibling to come back to
    }
    ASSERT_EQ(::mkdirat(level, "d", 0755), 0);
    const int next = ::openat(level, "d", O_RDONLY | O_DIRECTORY);
    ::close(level);
    ASSERT_GE(next, 0);
    level = next;
  }
  const int leaf = ::openat(level, "leaf", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(leaf, 0);
  ::close(leaf);
  ::close(level);

  ASSERT_TRUE(pelagon2::testing::limit_process(host.pid(), RLIMIT_NOFILE, 64)) << "cannot limit the host";
  EXPECT_TRUE(on_path("remove_directory", dir / "deep"));
  EXPECT_FALSE(exists_no_follow(dir / "deep"));
  EXPECT_EQ(read_file(outside / "keep"), "outside");
}

// Copies onto the host's standard output would put a forged frame ahead of
// the real reply.
TEST_F(ChangesWire, CopyOntoTheHostsOwnStreamsIsRefused) {
  const std::string forged = dir.put("forged", pelagon2::frame(R"({"id":1,"result":"forged"})"));
  std::string frames;
  for (const char* target : {"/dev/stdout", "/proc/self/fd/1", "/dev/fd/1"}) {
    frames += pelagon2::frame(
        to_json_text({{"id", 1}, {"method", "copy_file"}, {"params", {{"sourcePath", forged}, {"targetPath", target}}}}));
  }
  frames += pelagon2::frame(R"({"id":2,"method":"get_version"})");
  ASSERT_TRUE(host.send_raw(frames));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(host.read_frame(3000).value_or("(no reply)"), R"({"id":1,"result":false})");
  EXPECT_EQ(host.read_frame(3000).value_or("(no reply)"), R"({"id":2,"result":"2.0.2"})");
}

// The order of the durability steps of a move across file systems, as the
// system calls show it: the copy synced, renamed into place, its directory
// synced, and only then the source removed.
TEST(ChangesDurability, MoveAcrossFileSystemsSyncsTheNewNameBeforeRemovingTheSource) {
  TempTree dir;
  const std::optional<std::string> other = other_file_system_than(dir.path());
  if (!other) GTEST_SKIP() << "no second file system";
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace cannot trace here";
  TempTree far(*other);
  const std::string log = dir / "trace";
  const std::string wrapper = dir.put("traced-host", "#!/bin/sh\nexec strace -f -qq -y -o '" + log +
                                                         "' -e trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat '" +
                                                         testing::host_under_test() + "'\n");
  ASSERT_EQ(::chmod(wrapper.c_str(), 0755), 0);
  {
    pelagon2::HostClient host(wrapper);
    ASSERT_TRUE(host.started()) << host.last_error();
    const std::optional<Json> reply =
        host.call("move_file", {{"sourcePath", dir.put("src", "data")}, {"targetPath", far / "dst"}});
    ASSERT_TRUE(reply.has_value()) << host.last_error();
    EXPECT_EQ((*reply)["result"], Json(true));
    host.close_input();
    host.wait_exit();
  }
  std::vector<std::string> lines;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const auto first = [&](auto&& matches) {
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (matches(lines[i])) return static_cast<long>(i);
    return -1L;
  };
  const auto has = [](const std::string& line, const std::string& piece) { return line.find(piece) != std::string::npos; };
  const long file_sync = first([&](const std::string& l) { return has(l, "fsync(") && has(l, far.path() + "/.pelagon2"); });
  const long rename = first([&](const std::string& l) {
    return has(l, "rename") && has(l, "\"" + far / "dst" + "\"") && has(l, ") = 0");
  });
  const long dir_sync = first([&](const std::string& l) { return has(l, "fsync(") && has(l, "<" + far.path() + ">"); });
  const long unlink = first([&](const std::string& l) {
    return has(l, "unlink") && has(l, "\"" + dir / "src" + "\"") && has(l, ") = 0");
  });
  std::string trace;
  for (const std::string& l : lines) trace += l + "\n";
  EXPECT_GE(file_sync, 0) << trace;
  EXPECT_GE(unlink, 0) << trace;
  EXPECT_LT(file_sync, rename) << trace;
  EXPECT_LT(rename, dir_sync) << trace;
  EXPECT_LT(dir_sync, unlink) << trace;
}

}  // namespace
}  // namespace pelagon2::files
