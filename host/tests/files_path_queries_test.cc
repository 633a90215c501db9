#include "files/path_queries.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/host_process.h"
#include "support/temp_tree.h"

namespace pelagon2::files {
namespace {

using pelagon2::testing::HostProcess;
using pelagon2::testing::TempTree;
using pelagon2::testing::write_file;

Json error_reply(const std::string& message) { return Json{{"message", message}}; }
std::string os_text(int errnum) { return std::string(std::strerror(errnum)) + " (os error " + std::to_string(errnum) + ")"; }
const std::string kNul(1, '\0');

void set_mtime(const std::string& path, std::int64_t seconds, long nanoseconds) {
  const struct timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds},
                                    {static_cast<time_t>(seconds), nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << std::strerror(errno);
}

TEST(LastWriteMillis, DropsSubMillisecondsAndRejectsUnrepresentableTimes) {
  struct Case {
    std::int64_t seconds, nanoseconds;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {1, 999'999'999, 1999},  // dropped, not rounded
      {1'700'000'000, 123'456'789, 1'700'000'000'123},
      {-1, 999'999'999, 0},  // before the epoch
      {5, -1, 0},
      {5, 1'000'000'000, 0},
      {18'446'744'073'709'551, 615'999'999, UINT64_MAX},  // the last time that fits
      {18'446'744'073'709'551, 616'000'000, 0},
      {18'446'744'073'709'552, 0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(last_write_millis(c.seconds, c.nanoseconds), c.expected) << c.seconds;
}

class PathQueriesWire : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir / "file.bin", std::string(12345, 'x'));
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("file.bin", (dir / "link-to-file").c_str()), 0);
    ASSERT_EQ(::symlink("sub", (dir / "link-to-dir").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
  }
  TempTree dir;
  HostProcess host;
};

TEST_F(PathQueriesWire, ExistenceTestsFollowLinksAndNeverFail) {
  struct Case {
    std::string path;
    bool is_file, is_directory;
  };
  const Case cases[] = {
      {dir / "file.bin", true, false},     {dir / "sub", false, true},         {dir / "sub/", false, true},
      {dir / "link-to-file", true, false}, {dir / "link-to-dir", false, true}, {dir / "dangling", false, false},
      {dir / "missing", false, false},     {dir / "file.bin/x", false, false}, {"", false, false},
      {dir / "file.bin" + kNul, false, false}, {"/dev/null", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host.request("file_exists", {{"path", c.path}}), (Json{{"id", 1}, {"result", c.is_file}})) << c.path;
    EXPECT_EQ(host.request("directory_exists", {{"path", c.path}})["result"], Json(c.is_directory)) << c.path;
  }
  for (const char* method : {"file_exists", "directory_exists", "get_file_size", "get_file_system_entry_info"}) {
    for (const Json& params : {Json(), Json{{"path", 3}}, Json{{"Path", "x"}}, Json::array({"x"})}) {
      EXPECT_EQ(host.request(method, params)["error"], error_reply("Missing string param 'path'")) << method;
    }
  }
}

TEST_F(PathQueriesWire, SizeAndEntryInfo) {
  EXPECT_EQ(host.request("get_file_size", {{"path", dir / "link-to-file"}}), (Json{{"id", 1}, {"result", 12345u}}));
  set_mtime(dir / "file.bin", 1, 999'999'999);
  EXPECT_EQ(host.request("get_file_system_entry_info", {{"path", dir / "file.bin"}})["result"],
            (Json{{"isDirectory", false}, {"lastWriteTime", 1999u}, {"length", 12345u}}));
  set_mtime(dir / "sub", 1'600'000'000, 5'000'000);
  const Json sub = host.request("get_file_system_entry_info", {{"path", dir / "link-to-dir"}})["result"];
  EXPECT_EQ(sub["isDirectory"], Json(true));
  EXPECT_EQ(sub["lastWriteTime"], Json(1'600'000'000'005u));
  set_mtime(dir / "file.bin", -86'400, 0);
  EXPECT_EQ(host.request("get_file_system_entry_info", {{"path", dir / "file.bin"}})["result"]["lastWriteTime"],
            Json(0u));
}

TEST_F(PathQueriesWire, FailuresCarryTheOsTextOrTheNulText) {
  const std::pair<std::string, std::string> cases[] = {
      {dir / "missing", "No such file or directory (os error 2)"},
      {dir / "dangling", os_text(ENOENT)},
      {dir / "file.bin/x", os_text(ENOTDIR)},
      {"", os_text(ENOENT)},
      {"/tmp" + kNul + "/x", "file name contained an unexpected NUL byte"},
  };
  for (const char* method : {"get_file_size", "get_file_system_entry_info"}) {
    for (const auto& [path, message] : cases) EXPECT_EQ(host.request(method, {{"path", path}})["error"], error_reply(message));
  }
}

TEST_F(PathQueriesWire, UnsearchableParent) {
  if (pelagon2::testing::running_as_root()) GTEST_SKIP() << "root ignores permission bits";
  write_file(dir / "sub/inner", "abc");
  ASSERT_EQ(::chmod((dir / "sub").c_str(), 0), 0);
  EXPECT_EQ(host.request("file_exists", {{"path", dir / "sub/inner"}})["result"], Json(false));
  EXPECT_EQ(host.request("get_file_size", {{"path", dir / "sub/inner"}})["error"], error_reply(os_text(EACCES)));
}

std::string user_database_home() {
  const struct passwd* entry = ::getpwuid(::getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? std::string(entry->pw_dir) : std::string();
}

TEST(SpecialFolderWire, HomeAndDesktop) {
  struct Case {
    std::string home;
    std::uint64_t folder;
    std::string expected;
  };
  const Case cases[] = {
      {"/home/ann", 0, "/home/ann"},
      {"/home/ann", 1, "/home/ann/Desktop"},
      {"/home/ann/", 1, "/home/ann/Desktop"},
      {"/", 1, "/Desktop"},
      {"/home/\xC3\xA9l\xFF", 1, "/home/\xC3\xA9l\xEF\xBF\xBD/Desktop"},  // non-UTF-8 byte replaced
  };
  for (const Case& c : cases) {
    HostProcess host({"HOME=" + c.home});
    EXPECT_EQ(host.request("get_special_folder_path", {{"folder", c.folder}}), (Json{{"id", 1}, {"result", c.expected}}));
  }
  const std::string home = user_database_home();
  if (home.empty()) GTEST_SKIP() << "no user database entry for this uid";
  HostProcess empty_home({"HOME="});
  EXPECT_EQ(empty_home.request("get_special_folder_path", {{"folder", 0u}})["result"], Json(home));
}

TEST(SpecialFolder, UnsetHomeFallsBackToUserDatabase) {
  const std::string home = user_database_home();
  if (home.empty()) GTEST_SKIP() << "no user database entry for this uid";
  const char* saved = std::getenv("HOME");
  const std::string restore = saved != nullptr ? saved : "";
  ::unsetenv("HOME");
  EXPECT_EQ(home_directory(), home);
  if (saved != nullptr) ::setenv("HOME", restore.c_str(), 1);
}

TEST(SpecialFolderWire, FolderMustBeAnUnsignedIntegerOfZeroOrOne) {
  HostProcess host({"HOME=/home/ann"});
  for (const Json& params : {Json(), Json{{"folder", 1.0}}, Json{{"folder", -1}}, Json{{"folder", "1"}},
                             Json{{"folder", true}}, Json::array({1})}) {
    EXPECT_EQ(host.request("get_special_folder_path", params)["error"], error_reply("Missing numeric param 'folder'"))
        << params.dump();
  }
  EXPECT_EQ(host.request("get_special_folder_path", {{"folder", 2u}})["error"], error_reply("Unknown special folder 2"));
  EXPECT_EQ(host.request("get_special_folder_path", {{"folder", UINT64_MAX}})["error"],
            error_reply("Unknown special folder 18446744073709551615"));
}

}  // namespace
}  // namespace pelagon2::files
