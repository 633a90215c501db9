#include "files/path_queries.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
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

void set_mtime(const std::string& path, std::int64_t seconds, long nanoseconds) {
  const struct timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds},
                                    {static_cast<time_t>(seconds), nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << std::strerror(errno);
}

TEST(LastWriteMillis, ConvertsWholeMillisecondsAndRejectsUnrepresentableTimes) {
  struct Case {
    std::int64_t seconds;
    std::int64_t nanoseconds;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {0, 0, 0},
      {1, 999'000'000, 1999},
      {1, 999'999'999, 1999},  // the fraction of a millisecond is dropped, not rounded
      {0, 999'999, 0},
      {1'700'000'000, 123'456'789, 1'700'000'000'123},
      {-1, 0, 0},
      {-1, 999'999'999, 0},  // still before the epoch
      {5, -1, 0},
      {5, 1'000'000'000, 0},
      {18'446'744'073'709'550, 615'999'999, 18'446'744'073'709'550'615u},  // the last that fits
      {18'446'744'073'709'552, 0, 0},
      {INT64_MAX, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(last_write_millis(c.seconds, c.nanoseconds), c.expected) << c.seconds << " s " << c.nanoseconds << " ns";
  }
}

TEST(AppendComponent, AddsOneSeparatorOnlyWhenMissing) {
  EXPECT_EQ(append_component("/home/ann", "Desktop"), "/home/ann/Desktop");
  EXPECT_EQ(append_component("/home/ann/", "Desktop"), "/home/ann/Desktop");
  EXPECT_EQ(append_component("/", "Desktop"), "/Desktop");
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
    bool is_file;
    bool is_directory;
  };
  const Case cases[] = {
      {dir / "file.bin", true, false},
      {dir / "sub", false, true},
      {dir / "sub/", false, true},
      {dir / "link-to-file", true, false},
      {dir / "link-to-dir", false, true},
      {dir / "dangling", false, false},
      {dir / "missing", false, false},
      {dir / "file.bin/inside", false, false},
      {"", false, false},
      {dir / "file.bin" + std::string(1, '\0'), false, false},
      {"/dev/null", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host.request("file_exists", {{"path", c.path}}), (Json{{"id", 1}, {"result", c.is_file}})) << c.path;
    EXPECT_EQ(host.request("directory_exists", {{"path", c.path}}), (Json{{"id", 1}, {"result", c.is_directory}}))
        << c.path;
  }
}

TEST_F(PathQueriesWire, PathParameterMustBeAString) {
  const Json bad_params[] = {Json(), Json::object(), Json{{"path", 3}}, Json{{"path", nullptr}},
                             Json{{"Path", "x"}}, Json::array({"x"})};
  for (const char* method : {"file_exists", "directory_exists", "get_file_size", "get_file_system_entry_info"}) {
    for (const Json& params : bad_params) {
      EXPECT_EQ(host.request(method, params)["error"], error_reply("Missing string param 'path'"))
          << method << " " << params.dump();
    }
  }
}

TEST_F(PathQueriesWire, FileSizeFollowsLinksAndPassesOsErrorsThrough) {
  EXPECT_EQ(host.request("get_file_size", {{"path", dir / "file.bin"}})["result"], Json(12345u));
  EXPECT_EQ(host.request("get_file_size", {{"path", dir / "link-to-file"}})["result"], Json(12345u));
  EXPECT_EQ(host.request("get_file_size", {{"path", dir / "missing"}})["error"], error_reply(os_text(ENOENT)));
  EXPECT_EQ(host.request("get_file_size", {{"path", dir / "missing"}})["error"],
            error_reply("No such file or directory (os error 2)"));
  EXPECT_EQ(host.request("get_file_size", {{"path", dir / "dangling"}})["error"], error_reply(os_text(ENOENT)));
  EXPECT_EQ(host.request("get_file_size", {{"path", dir / "file.bin/x"}})["error"], error_reply(os_text(ENOTDIR)));
  EXPECT_EQ(host.request("get_file_size", {{"path", ""}})["error"], error_reply(os_text(ENOENT)));
  for (const char* method : {"get_file_size", "get_file_system_entry_info"}) {
    EXPECT_EQ(host.request(method, {{"path", std::string("/tmp\0/x", 7)}})["error"],
              error_reply("file name contained an unexpected NUL byte"))
        << method;
  }
}

TEST_F(PathQueriesWire, EntryInfoRecord) {
  set_mtime(dir / "file.bin", 1, 999'999'999);
  EXPECT_EQ(host.request("get_file_system_entry_info", {{"path", dir / "file.bin"}}),
            (Json{{"id", 1}, {"result", {{"isDirectory", false}, {"lastWriteTime", 1999u}, {"length", 12345u}}}}));

  set_mtime(dir / "sub", 1'600'000'000, 5'000'000);
  const Json sub = host.request("get_file_system_entry_info", {{"path", dir / "link-to-dir"}})["result"];
  EXPECT_EQ(sub["isDirectory"], Json(true));
  EXPECT_EQ(sub["lastWriteTime"], Json(1'600'000'000'005u));
  EXPECT_TRUE(sub["length"].is_number_unsigned());
  EXPECT_EQ(sub.size(), 3u);

  set_mtime(dir / "file.bin", -86'400, 0);
  EXPECT_EQ(host.request("get_file_system_entry_info", {{"path", dir / "file.bin"}})["result"]["lastWriteTime"],
            Json(0u));

  EXPECT_EQ(host.request("get_file_system_entry_info", {{"path", dir / "dangling"}})["error"],
            error_reply(os_text(ENOENT)));
}

TEST_F(PathQueriesWire, UnreadableParentReadsAsAbsentOrPermissionError) {
  if (pelagon2::testing::running_as_root()) GTEST_SKIP() << "root ignores permission bits";
  write_file(dir / "sub/inner", "abc");
  ASSERT_EQ(::chmod((dir / "sub").c_str(), 0), 0);
  EXPECT_EQ(host.request("file_exists", {{"path", dir / "sub/inner"}})["result"], Json(false));
  EXPECT_EQ(host.request("get_file_size", {{"path", dir / "sub/inner"}})["error"], error_reply(os_text(EACCES)));
}

std::string user_database_home() {
  struct passwd* entry = ::getpwuid(::getuid());
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
      {"/home/ann/", 0, "/home/ann/"},
      {"/home/ann/", 1, "/home/ann/Desktop"},
      {"relative dir", 1, "relative dir/Desktop"},
      {"/home/\xC3\xA9l\xFF", 1, "/home/\xC3\xA9l\xEF\xBF\xBD/Desktop"},  // non-UTF-8 byte replaced
  };
  for (const Case& c : cases) {
    HostProcess host({"HOME=" + c.home});
    EXPECT_EQ(host.request("get_special_folder_path", {{"folder", c.folder}}), Json({{"id", 1}, {"result", c.expected}}))
        << c.home << " " << c.folder;
  }
}

TEST(SpecialFolderWire, EmptyHomeFallsBackToUserDatabase) {
  const std::string home = user_database_home();
  if (home.empty()) GTEST_SKIP() << "no user database entry for this uid";
  HostProcess host({"HOME="});
  EXPECT_EQ(host.request("get_special_folder_path", {{"folder", 0u}})["result"], Json(home));
  EXPECT_EQ(host.request("get_special_folder_path", {{"folder", 1u}})["result"],
            Json(home.back() == '/' ? home + "Desktop" : home + "/Desktop"));
}

TEST(SpecialFolderWire, FolderMustBeAnUnsignedIntegerOfZeroOrOne) {
  HostProcess host({"HOME=/home/ann"});
  const Json missing[] = {Json(),         Json::object(),       Json{{"folder", 1.0}}, Json{{"folder", -1}},
                          Json{{"folder", "1"}}, Json{{"folder", true}}, Json{{"Folder", 1}}, Json::array({1})};
  for (const Json& params : missing) {
    EXPECT_EQ(host.request("get_special_folder_path", params)["error"], error_reply("Missing numeric param 'folder'"))
        << params.dump();
  }
  EXPECT_EQ(host.request("get_special_folder_path", {{"folder", 2u}})["error"],
            error_reply("Unknown special folder 2"));
  EXPECT_EQ(host.request("get_special_folder_path", {{"folder", UINT64_MAX}})["error"],
            error_reply("Unknown special folder 18446744073709551615"));
}

}  // namespace
}  // namespace pelagon2::files
