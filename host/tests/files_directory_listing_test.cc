#include "files/directory_listing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/temp_tree.h"

namespace pelagon2::files {
namespace {

using pelagon2::testing::HostProcess;
using pelagon2::testing::TempTree;
using pelagon2::testing::write_file;

using Names = std::vector<std::string>;

Json listing(Names names) { return Json{{"entries", Json(std::move(names))}, {"errorCode", 0u}}; }

TEST(ExtensionFilter, NormalisesWithTheFullUnicodeLowercaseMapping) {
  const std::pair<std::string, std::string> cases[] = {
      {"...Png", "png"},
      {".a.B", "a.b"},  // only leading dots go
      {"...", ""},
      {"\xCE\xA3\xCE\x91\xCE\xA3", "\xCF\x83\xCE\xB1\xCF\x82"},  // ΣΑΣ -> σας (final sigma)
      {"\xCE\xA3", "\xCF\x83"},                                  // a lone Σ is not final: σ
      {"\xC4\xB0", "i\xCC\x87"},                                 // İ -> i + combining dot (full mapping)
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},                  // Deseret, outside the BMP
      {"A\xFF", "a\xEF\xBF\xBD"},
  };
  for (const auto& [extension, expected] : cases) EXPECT_EQ(normalise_extension(extension), expected) << extension;
}

TEST(ExtensionFilter, MatchesOnlyAWholeExtensionAfterADot) {
  struct Case {
    std::string name;
    Names extensions;
    bool expected;
  };
  const Case cases[] = {
      {"x.tar.gz", {"tar.gz"}, true}, {"xtar.gz", {"tar.gz"}, false}, {"x.gz", {"png", "gz"}, true},
      {".gz", {"gz"}, true},          {"gz", {"gz"}, false},          {"x.", {""}, true},
      {"x", {""}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(matches_extension(c.name, c.extensions), c.expected) << c.name;
}

class ListingWire : public ::testing::Test {
 protected:
  void mkdir(const std::string& name) { ASSERT_EQ(::mkdir((dir / name).c_str(), 0755), 0) << name; }
  void symlink(const char* target, const std::string& name) {
    ASSERT_EQ(::symlink(target, (dir / name).c_str()), 0) << name;
  }
  Json list(const char* method, Json params = Json::object()) {
    params["path"] = dir.path();
    return host.request(method, params)["result"];
  }
  Json entries(Json extensions) { return list("get_file_system_entries", Json{{"extensions", std::move(extensions)}}); }

  TempTree dir;
  HostProcess host;
};

TEST_F(ListingWire, FilesDirectoriesAndExtensionFilter) {
  EXPECT_EQ(list("get_file_system_entries"), listing({}));
  for (const char* name : {"b.txt", "A.TXT", "a.txt", ".hidden"}) write_file(dir / name, "x");
  mkdir("sub");
  EXPECT_EQ(list("get_files"), listing({".hidden", "A.TXT", "a.txt", "b.txt"}));
  EXPECT_EQ(list("get_directories"), listing({"sub"}));
  EXPECT_EQ(entries({".TXT"}), listing({"A.TXT", "a.txt", "b.txt", "sub"}));
  EXPECT_EQ(entries({7, "png", nullptr}), listing({"sub"}));  // non-strings skipped, the rest still filters
  for (const Json& no_filter : {Json::array(), Json("png"), Json::array({1, 2}), Json(nullptr)}) {
    EXPECT_EQ(entries(no_filter), listing({".hidden", "A.TXT", "a.txt", "b.txt", "sub"})) << no_filter.dump();
  }
}

TEST_F(ListingWire, UnopenableDirectoriesReportErrorCodeOne) {
  write_file(dir / "plain", "x");
  const Json failed = Json{{"entries", Json::array()}, {"errorCode", 1u}};
  for (const char* method : {"get_files", "get_directories", "get_file_system_entries"}) {
    for (const std::string& path : {dir / "plain", dir / "missing", std::string(), dir.path() + '\0' + "x"}) {
      EXPECT_EQ(host.request(method, {{"path", path}}), (Json{{"id", 1}, {"result", failed}})) << method << path;
    }
    EXPECT_EQ(host.request(method, {{"path", 1}})["error"], (Json{{"message", "Missing string param 'path'"}}));
  }
}

TEST_F(ListingWire, UnreadableDirectoryReportsErrorCodeOne) {
  if (pelagon2::testing::running_as_root()) GTEST_SKIP() << "root ignores permission bits";
  mkdir("locked");
  ASSERT_EQ(::chmod((dir / "locked").c_str(), 0), 0);
  EXPECT_EQ(host.request("get_files", {{"path", dir / "locked"}})["result"]["errorCode"], Json(1u));
}

TEST_F(ListingWire, SymbolicLinksAreNeverDirectories) {
  mkdir("real");
  write_file(dir / "real/inside.txt", "x");
  symlink("real", "dirlink");
  symlink("real", "linked.txt");
  symlink("nowhere", "dangling");
  EXPECT_EQ(list("get_files"), listing({"dangling", "dirlink", "linked.txt"}));
  EXPECT_EQ(list("get_directories"), listing({"real"}));
  EXPECT_EQ(entries({"txt"}), listing({"linked.txt", "real"}));  // one level only: inside.txt stays out
  EXPECT_EQ(host.request("get_files", {{"path", dir / "dirlink"}})["result"], listing({"inside.txt"}));
}

TEST_F(ListingWire, SortsAndFiltersTheConvertedNames) {
  // Raw 0xFF would sort last as a byte, but it is listed as U+FFFD (EF BF BD),
  // which sorts before the four-byte emoji (F0 ...).
  for (const char* name : {"\xF0\x9F\x98\x80", "z", "\xC3\xA9", "ab", "\xFF", "Z", "a", "~", "a\xE2\x82"}) {
    write_file(dir / name, "");
  }
  EXPECT_EQ(list("get_files"),
            listing({"Z", "a", "ab", "a\xEF\xBF\xBD", "z", "~", "\xC3\xA9", "\xEF\xBF\xBD", "\xF0\x9F\x98\x80"}));
  write_file(dir / "bad\xFF\xFE.TXT", "");
  write_file(dir / "cut\xE2\x82.txt", "");  // a three-byte character cut short: one U+FFFD
  EXPECT_EQ(entries({"txt"}), listing({"bad\xEF\xBF\xBD\xEF\xBF\xBD.TXT", "cut\xEF\xBF\xBD.txt"}));
}

TEST_F(ListingWire, UnicodeExtensionsUseFullMappingWithFinalSigma) {
  const char* names[] = {
      "x.\xCE\xA3\xCE\x91\xCE\xA3",  // x.ΣΑΣ, lower-cases to x.σας
      "y.\xCF\x83\xCE\xB1\xCF\x82",  // y.σας
      "z.\xCF\x83\xCE\xB1\xCF\x83",  // z.σασ: what a per-letter mapping of ΣΑΣ would give
      "a.i\xCC\x87",                 // a.i̇: the full lower case of İ
      "b.i",                         // b.i: the simple lower case of İ
  };
  for (const char* name : names) write_file(dir / name, "");
  EXPECT_EQ(entries({"\xCE\xA3\xCE\x91\xCE\xA3"}), listing({"x.\xCE\xA3\xCE\x91\xCE\xA3", "y.\xCF\x83\xCE\xB1\xCF\x82"}));
  EXPECT_EQ(entries({".\xC4\xB0"}), listing({"a.i\xCC\x87"}));
  EXPECT_EQ(entries({"I"}), listing({"b.i"}));
}

}  // namespace
}  // namespace pelagon2::files
