#include "files/file_changes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/host_process.h"
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

}  // namespace
}  // namespace pelagon2::files
