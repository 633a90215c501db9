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
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

TEST(ParentPath, OneComponentUpIgnoringTrailingSeparators) {
  struct Case {
    std::string path;
    std::optional<std::string> parent;
  };
  const Case cases[] = {
      {"a/b/c", "a/b"}, {"a/b/c/", "a/b"}, {"a//b", "a"},   {"/a", "/"},         {"//a", "/"},
      {"/a/b", "/a"},   {"./a", "."},      {"a/..", "a"},   {"a", std::nullopt}, {"a/", std::nullopt},
      {"/", std::nullopt}, {"///", std::nullopt}, {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parent_path(c.path), c.parent) << c.path;
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
      {"copy_file", {{"sourcePath", "/x"}, {"targetPath", nullptr}}, "Missing string param 'targetPath'"},
      {"move_file", {{"targetPath", "/x"}}, "Missing string param 'sourcePath'"},
      {"move_file", {{"sourcePath", "/x"}}, "Missing string param 'targetPath'"},
      {"delete_file", Json(), "Missing string param 'path'"},
      {"create_directory", Json::array({"/x"}), "Missing string param 'path'"},
      {"remove_directory", {{"path", false}}, "Missing string param 'path'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host.request(c.method, c.params)["error"], (Json{{"message", c.message}})) << c.method << c.params.dump();
  }
  // Checked before anything changes: the source is still there.
  write_file(dir / "kept", "k");
  EXPECT_TRUE(host.request("move_file", {{"sourcePath", dir / "kept"}}).contains("error"));
  EXPECT_EQ(read_file(dir / "kept"), "k");
}

TEST_F(ChangesWire, CopyReplacesContentsAndCarriesPermissionBits) {
  write_file(dir / "src", "new contents");
  ASSERT_EQ(::chmod((dir / "src").c_str(), 0754), 0);
  write_file(dir / "existing", "old and much longer contents");
  ASSERT_EQ(::chmod((dir / "existing").c_str(), 0600), 0);

  EXPECT_TRUE(copy(dir / "src", dir / "existing"));
  EXPECT_EQ(read_file(dir / "existing"), "new contents");
  EXPECT_EQ(mode_bits(dir / "existing"), 0754u);

  EXPECT_TRUE(copy(dir / "src", dir / "fresh"));
  EXPECT_EQ(read_file(dir / "fresh"), "new contents");
  EXPECT_EQ(mode_bits(dir / "fresh"), 0754u);  // not narrowed by the umask
  EXPECT_EQ(read_file(dir / "src"), "new contents");

  write_file(dir / "empty", "");
  EXPECT_TRUE(copy(dir / "empty", dir / "existing"));
  EXPECT_EQ(read_file(dir / "existing"), "");
}

TEST_F(ChangesWire, CopyFollowsSourceLinksAndReadsPseudoFiles) {
  write_file(dir / "real", "through the link");
  ASSERT_EQ(::symlink("real", (dir / "link").c_str()), 0);
  EXPECT_TRUE(copy(dir / "link", dir / "copy"));
  EXPECT_EQ(read_file(dir / "copy"), "through the link");
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "copy").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));

  // /proc files claim a size of 0; their contents must still arrive.
  const std::string proc = read_file("/proc/version");
  if (proc.empty()) GTEST_SKIP() << "no /proc here";
  EXPECT_TRUE(copy("/proc/version", dir / "version"));
  EXPECT_EQ(read_file(dir / "version"), proc);
}

TEST_F(ChangesWire, CopyRefusesWhatIsNotARegularFileOrCannotBeWritten) {
  write_file(dir / "src", "data");
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  struct Case {
    std::string source;
    std::string target;
  };
  const Case cases[] = {
      {dir / "sub", dir / "out1"},                               // a directory
      {dir / "missing", dir / "out2"},                           // nothing there
      {dir / "fifo", dir / "out3"},                              // a FIFO without writer: must not hang
      {dir / "src", dir / "sub"},                                // onto a directory
      {dir / "src", dir / "no/such/dir"},                        // target's directory missing
      {dir / "src", dir / "fifo"},                               // a FIFO without reader: must not hang
      {dir / "src" + std::string(1, '\0'), dir / "out4"},        // NUL in a path names nothing
      {dir / "src", dir / "out5" + std::string(1, '\0') + "x"},
  };
  for (const Case& c : cases) EXPECT_FALSE(copy(c.source, c.target)) << c.source << " -> " << c.target;
  for (const char* name : {"out1", "out2", "out3", "out4", "out5"}) EXPECT_FALSE(exists_no_follow(dir / name)) << name;
  EXPECT_EQ(read_file(dir / "src"), "data");
}

TEST_F(ChangesWire, CopyOntoItselfLeavesTheFileIntact) {
  write_file(dir / "only", "precious");
  ASSERT_EQ(::symlink("only", (dir / "alias").c_str()), 0);
  ASSERT_EQ(::link((dir / "only").c_str(), (dir / "hard").c_str()), 0);
  for (const char* target : {"only", "alias", "hard"}) {
    EXPECT_FALSE(copy(dir / "only", dir / target)) << target;
    EXPECT_EQ(read_file(dir / "only"), "precious") << target;
  }
}

TEST_F(ChangesWire, CopyLargeFileWithinAndAcrossFileSystems) {
  const std::string bytes = patterned_bytes((std::size_t{3} << 20) + 17);
  write_file(dir / "big", bytes);
  EXPECT_TRUE(copy(dir / "big", dir / "big.copy"));
  EXPECT_TRUE(read_file(dir / "big.copy") == bytes);

  const std::optional<std::string> other = other_file_system_than(dir.path());
  if (!other) GTEST_SKIP() << "no second file system";
  TempTree far(*other);
  EXPECT_TRUE(copy(dir / "big", far / "big.copy"));
  EXPECT_TRUE(read_file(far / "big.copy") == bytes);
}

TEST_F(ChangesWire, MoveRenamesWithinOneFileSystem) {
  write_file(dir / "a", "moved");
  write_file(dir / "b", "replaced");
  EXPECT_TRUE(move(dir / "a", dir / "b"));
  EXPECT_FALSE(exists_no_follow(dir / "a"));
  EXPECT_EQ(read_file(dir / "b"), "moved");

  ASSERT_EQ(::mkdir((dir / "d").c_str(), 0755), 0);
  write_file(dir / "d/inner", "i");
  EXPECT_TRUE(move(dir / "d", dir / "e"));  // directories rename too
  EXPECT_EQ(read_file(dir / "e/inner"), "i");

  EXPECT_FALSE(move(dir / "missing", dir / "c"));
  EXPECT_FALSE(exists_no_follow(dir / "c"));
  EXPECT_FALSE(move(dir / "b" + std::string(1, '\0'), dir / "c"));
  EXPECT_EQ(read_file(dir / "b"), "moved");
}

TEST_F(ChangesWire, MoveAcrossFileSystemsCopiesThenRemovesTheSource) {
  const std::optional<std::string> other = other_file_system_than(dir.path());
  if (!other) GTEST_SKIP() << "no second file system";
  TempTree far(*other);
  const std::string bytes = patterned_bytes(200'000);
  write_file(dir / "src", bytes);
  ASSERT_EQ(::chmod((dir / "src").c_str(), 0640), 0);
  EXPECT_TRUE(move(dir / "src", far / "dst"));
  EXPECT_FALSE(exists_no_follow(dir / "src"));
  EXPECT_TRUE(read_file(far / "dst") == bytes);
  EXPECT_EQ(mode_bits(far / "dst"), 0640u);

  // A directory cannot be copied: it stays where it was and nothing appears.
  ASSERT_EQ(::mkdir((dir / "tree").c_str(), 0755), 0);
  write_file(dir / "tree/leaf", "l");
  EXPECT_FALSE(move(dir / "tree", far / "tree"));
  EXPECT_EQ(read_file(dir / "tree/leaf"), "l");
  EXPECT_FALSE(exists_no_follow(far / "tree"));
}

TEST_F(ChangesWire, MoveKeepsTheSourceWhenItCannotBeRemoved) {
  if (running_as_root()) GTEST_SKIP() << "root ignores permission bits";
  const std::optional<std::string> other = other_file_system_than(dir.path());
  if (!other) GTEST_SKIP() << "no second file system";
  TempTree far(*other);
  ASSERT_EQ(::mkdir((dir / "ro").c_str(), 0755), 0);
  write_file(dir / "ro/src", "stay");
  ASSERT_EQ(::chmod((dir / "ro").c_str(), 0555), 0);
  EXPECT_FALSE(move(dir / "ro/src", far / "dst"));
  EXPECT_EQ(read_file(dir / "ro/src"), "stay");
  EXPECT_EQ(read_file(far / "dst"), "stay");
}

TEST_F(ChangesWire, DeleteRemovesEntriesButNotDirectoriesOrLinkTargets) {
  write_file(dir / "file", "f");
  write_file(dir / "target", "t");
  ASSERT_EQ(::symlink("target", (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);

  EXPECT_TRUE(on_path("delete_file", dir / "file"));
  EXPECT_FALSE(exists_no_follow(dir / "file"));
  EXPECT_TRUE(on_path("delete_file", dir / "link"));
  EXPECT_FALSE(exists_no_follow(dir / "link"));
  EXPECT_EQ(read_file(dir / "target"), "t");
  EXPECT_TRUE(on_path("delete_file", dir / "dangling"));
  EXPECT_FALSE(exists_no_follow(dir / "dangling"));

  EXPECT_FALSE(on_path("delete_file", dir / "sub"));
  EXPECT_TRUE(exists_no_follow(dir / "sub"));
  EXPECT_FALSE(on_path("delete_file", dir / "file"));  // already gone
  EXPECT_FALSE(on_path("delete_file", ""));
  EXPECT_FALSE(on_path("delete_file", dir / "target" + std::string(1, '\0')));
  EXPECT_EQ(read_file(dir / "target"), "t");
}

TEST_F(ChangesWire, CreateDirectoryWalksUpAndCreatesTopmostFirst) {
  write_file(dir / "file", "f");
  ASSERT_EQ(::mkdir((dir / "real").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("real", (dir / "dirlink").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
  struct Case {
    std::string path;
    bool expected;
  };
  const Case cases[] = {
      {dir / "a/b/c", true},
      {dir / "a/b/c", true},  // already there
      {dir / "x/y/", true},
      {dir / "dirlink/through/link", true},
      {dir / "dirlink", true},
      {dir.path(), true},
      {"", true},
      {dir / "file", false},           // a regular file is in the way
      {dir / "file/sub/deeper", false},  // an ancestor is a regular file
      {dir / "dangling", false},
      {dir / "n" + std::string(1, '\0') + "ul", false},
  };
  for (const Case& c : cases) EXPECT_EQ(on_path("create_directory", c.path), c.expected) << c.path;
  for (const char* made : {"a", "a/b", "a/b/c", "x/y", "real/through/link"}) {
    struct stat st {};
    EXPECT_TRUE(::lstat((dir / made).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << made;
  }
  EXPECT_FALSE(exists_no_follow(dir / "n"));
}

TEST_F(ChangesWire, CreateDirectoryAppliesTheUmask) {
  const mode_t previous = ::umask(027);
  HostProcess masked;  // inherits the umask
  ::umask(previous);
  EXPECT_EQ(masked.request("create_directory", {{"path", dir / "p/q"}})["result"], Json(true));
  EXPECT_EQ(mode_bits(dir / "p"), 0750u);
  EXPECT_EQ(mode_bits(dir / "p/q"), 0750u);
}

TEST_F(ChangesWire, CreateDirectoryUnderReadOnlyParentFails) {
  if (running_as_root()) GTEST_SKIP() << "root ignores permission bits";
  ASSERT_EQ(::mkdir((dir / "ro").c_str(), 0555), 0);
  EXPECT_FALSE(on_path("create_directory", dir / "ro/new/deeper"));
  EXPECT_FALSE(exists_no_follow(dir / "ro/new"));
}

TEST_F(ChangesWire, RemoveDirectoryDeletesTheTreeButNeverFollowsLinks) {
  TempTree outside;
  write_file(outside / "keep", "outside");
  ASSERT_EQ(::mkdir((dir / "tree").c_str(), 0755), 0);
  ASSERT_TRUE(create_directory_all(dir / "tree/a/b/c"));
  write_file(dir / "tree/top", "1");
  write_file(dir / "tree/a/b/c/leaf", "2");
  ASSERT_EQ(::mkdir((dir / "tree/a/empty").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "tree/a/out-dir").c_str()), 0);
  ASSERT_EQ(::symlink((outside / "keep").c_str(), (dir / "tree/out-file").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "tree/a/b/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "tree/a/fifo").c_str(), 0644), 0);

  EXPECT_TRUE(on_path("remove_directory", dir / "tree"));
  EXPECT_FALSE(exists_no_follow(dir / "tree"));
  EXPECT_EQ(read_file(outside / "keep"), "outside");
}

TEST_F(ChangesWire, RemoveDirectoryOnALinkRemovesOnlyTheLink) {
  ASSERT_TRUE(create_directory_all(dir / "real/inner"));
  write_file(dir / "real/inner/file", "kept");
  ASSERT_EQ(::symlink("real", (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink("real", (dir / "link2").c_str()), 0);
  EXPECT_TRUE(on_path("remove_directory", dir / "link"));
  EXPECT_FALSE(exists_no_follow(dir / "link"));
  // With a trailing separator the name would resolve through the link; the
  // link is still what goes.
  EXPECT_TRUE(on_path("remove_directory", dir / "link2/"));
  EXPECT_FALSE(exists_no_follow(dir / "link2"));
  EXPECT_EQ(read_file(dir / "real/inner/file"), "kept");
}

TEST_F(ChangesWire, RemoveDirectoryRefusesFilesAndMissingPaths) {
  write_file(dir / "file", "f");
  EXPECT_FALSE(on_path("remove_directory", dir / "file"));
  EXPECT_EQ(read_file(dir / "file"), "f");
  EXPECT_FALSE(on_path("remove_directory", dir / "missing"));
  EXPECT_FALSE(on_path("remove_directory", ""));
  EXPECT_FALSE(on_path("remove_directory", dir.path() + std::string(1, '\0')));
  EXPECT_TRUE(exists_no_follow(dir.path()));
}

TEST_F(ChangesWire, RemoveDirectoryHandlesDeepTrees) {
  std::string deep = dir / "deep";
  for (int i = 0; i < 200; ++i) deep += "/d";
  ASSERT_TRUE(create_directory_all(deep));
  write_file(deep + "/leaf", "x");
  EXPECT_TRUE(on_path("remove_directory", dir / "deep"));
  EXPECT_FALSE(exists_no_follow(dir / "deep"));
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
