#include "files/directory_listing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
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
Json failed_listing() { return Json{{"entries", Json::array()}, {"errorCode", 1u}}; }

TEST(ExtensionFilter, NormalisesWithTheFullUnicodeLowercaseMapping) {
  struct Case {
    std::string extension;
    std::string expected;
  };
  const Case cases[] = {
      {".TXT", "txt"},
      {"...Png", "png"},
      {"tar.GZ", "tar.gz"},
      {".a.B", "a.b"},  // only leading dots go
      {"...", ""},
      {"", ""},
      {"\xC3\x80" "B", "\xC3\xA0" "b"},                            // ÀB -> àb
      {"\xCE\xA3\xCE\x91\xCE\xA3", "\xCF\x83\xCE\xB1\xCF\x82"},  // ΣΑΣ -> σας (final sigma)
      {"\xCE\xA3", "\xCF\x83"},                                  // a lone Σ is not final: σ
      {"\xC4\xB0", "i\xCC\x87"},                                 // İ -> i + combining dot (full mapping)
      {"STRA\xE1\xBA\x9E" "E", "stra\xC3\x9F" "e"},              // ẞ -> ß
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},                  // Deseret, outside the BMP
  };
  for (const Case& c : cases) EXPECT_EQ(normalise_extension(c.extension), c.expected) << c.extension;
}

TEST(ExtensionFilter, LowerCasingReplacesInvalidBytes) {
  EXPECT_EQ(unicode_lower("A\xFF" "B"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(unicode_lower(""), "");
}

TEST(ExtensionFilter, MatchesOnlyAWholeExtensionAfterADot) {
  struct Case {
    std::string name;
    Names extensions;
    bool expected;
  };
  const Case cases[] = {
      {"x.tar.gz", {"tar.gz"}, true},
      {"xtar.gz", {"tar.gz"}, false},
      {"x.gz", {"tar.gz"}, false},
      {"x.gz", {"png", "gz"}, true},
      {".gz", {"gz"}, true},
      {"gz", {"gz"}, false},
      {"x.", {""}, true},  // an extension of only dots matches names ending with a dot
      {"x", {""}, false},
      {"x.txt", {}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(matches_extension(c.name, c.extensions), c.expected) << c.name;
}

class ListingWire : public ::testing::Test {
 protected:
  void mkdir(const std::string& name) { ASSERT_EQ(::mkdir((dir / name).c_str(), 0755), 0) << name; }
  void symlink(const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), (dir / name).c_str()), 0) << name;
  }
  Json list(const char* method, Json params) {
    params["path"] = dir.path();
    return host.request(method, params)["result"];
  }
  Json entries(Json extensions) { return list("get_file_system_entries", Json{{"extensions", std::move(extensions)}}); }

  TempTree dir;
  HostProcess host;
};

TEST_F(ListingWire, FilesDirectoriesAndExtensionFilter) {
  for (const char* name : {"b.txt", "A.TXT", "a.txt"}) write_file(dir / name, "x");
  mkdir("sub");
  EXPECT_EQ(list("get_files", Json::object()), listing({"A.TXT", "a.txt", "b.txt"}));
  EXPECT_EQ(list("get_directories", Json::object()), listing({"sub"}));
  EXPECT_EQ(list("get_file_system_entries", Json::object()), listing({"A.TXT", "a.txt", "b.txt", "sub"}));
  EXPECT_EQ(entries({".TXT"}), listing({"A.TXT", "a.txt", "b.txt", "sub"}));
  EXPECT_EQ(entries({"png"}), listing({"sub"}));
  EXPECT_EQ(entries({7, "png", nullptr}), listing({"sub"}));  // non-strings skipped, the rest still filters

  // No usable filter lists everything.
  for (const Json& no_filter : {Json::array(), Json("png"), Json::array({1, 2}), Json(nullptr), Json::object()}) {
    EXPECT_EQ(entries(no_filter), listing({"A.TXT", "a.txt", "b.txt", "sub"})) << no_filter.dump();
  }
}

TEST_F(ListingWire, EmptyDirectoryAndDotNames) {
  EXPECT_EQ(list("get_file_system_entries", Json::object()), listing({}));
  write_file(dir / ".hidden", "");
  mkdir(".config");
  EXPECT_EQ(list("get_files", Json::object()), listing({".hidden"}));
  EXPECT_EQ(list("get_directories", Json::object()), listing({".config"}));
  EXPECT_EQ(entries({"hidden"}), listing({".config", ".hidden"}));
}

TEST_F(ListingWire, UnopenableDirectoriesReportErrorCodeOne) {
  write_file(dir / "plain", "x");
  const std::string paths[] = {dir / "plain", dir / "missing", "", dir.path() + std::string(1, '\0') + "x"};
  for (const char* method : {"get_files", "get_directories", "get_file_system_entries"}) {
    for (const std::string& path : paths) {
      EXPECT_EQ(host.request(method, {{"path", path}}), (Json{{"id", 1}, {"result", failed_listing()}}))
          << method << " " << path;
    }
    EXPECT_EQ(host.request(method, {{"extensions", Json::array()}})["error"],
              (Json{{"message", "Missing string param 'path'"}}))
        << method;
    EXPECT_EQ(host.request(method, {{"path", 1}})["error"], (Json{{"message", "Missing string param 'path'"}}))
        << method;
  }
}

TEST_F(ListingWire, UnreadableDirectory) {
  if (pelagon2::testing::running_as_root()) GTEST_SKIP() << "root ignores permission bits";
  mkdir("locked");
  write_file(dir / "locked/inner", "x");
  ASSERT_EQ(::chmod((dir / "locked").c_str(), 0), 0);
  EXPECT_EQ(host.request("get_files", {{"path", dir / "locked"}})["result"], failed_listing());
}

TEST_F(ListingWire, SymbolicLinksAreNeverDirectories) {
  mkdir("real");
  write_file(dir / "real/inside.txt", "x");
  symlink("real", "dirlink");
  symlink("real", "linked.txt");
  symlink("nowhere", "dangling");
  EXPECT_EQ(list("get_files", Json::object()), listing({"dangling", "dirlink", "linked.txt"}));
  EXPECT_EQ(list("get_directories", Json::object()), listing({"real"}));
  EXPECT_EQ(entries({"txt"}), listing({"linked.txt", "real"}));
  // The listing does not descend: inside.txt stays out.
  EXPECT_EQ(list("get_file_system_entries", Json::object()), listing({"dangling", "dirlink", "linked.txt", "real"}));
  // A link given as the path itself is followed.
  EXPECT_EQ(host.request("get_files", {{"path", dir / "dirlink"}})["result"], listing({"inside.txt"}));
}

TEST_F(ListingWire, SortsByTheBytesOfTheConvertedNames) {
  // Raw 0xFF sorts last as a byte, but it is listed as U+FFFD (EF BF BD), which
  // sorts before the four-byte emoji (F0 ...).
  const char* raw_names[] = {"\xF0\x9F\x98\x80", "z", "\xC3\xA9", "ab", "\xFF", "Z", "a", "~", "a\xE2\x82"};
  for (const char* name : raw_names) write_file(dir / name, "");
  EXPECT_EQ(list("get_files", Json::object()),
            listing({"Z", "a", "ab", "a\xEF\xBF\xBD", "z", "~", "\xC3\xA9", "\xEF\xBF\xBD", "\xF0\x9F\x98\x80"}));
}

TEST_F(ListingWire, NonUtf8NamesAreFilteredAfterConversion) {
  write_file(dir / "bad\xFF\xFE.TXT", "");
  write_file(dir / "cut\xE2\x82.txt", "");  // a three-byte character cut short: one U+FFFD
  write_file(dir / "other.bin", "");
  EXPECT_EQ(entries({"txt"}), listing({"bad\xEF\xBF\xBD\xEF\xBF\xBD.TXT", "cut\xEF\xBF\xBD.txt"}));
}

TEST_F(ListingWire, UnicodeExtensionsUseFullMappingWithFinalSigma) {
  const char* names[] = {
      "x.\xCE\xA3\xCE\x91\xCE\xA3",  // x.ΣΑΣ, lower-cases to x.σας
      "y.\xCF\x83\xCE\xB1\xCF\x82",  // y.σας
      "z.\xCF\x83\xCE\xB1\xCF\x83",  // z.σασ: a simple per-letter mapping of ΣΑΣ would give this
      "a.i\xCC\x87",                 // a.i̇: the full lower case of İ
      "b.i",                         // b.i: the simple lower case of İ
  };
  for (const char* name : names) write_file(dir / name, "");
  EXPECT_EQ(entries({"\xCE\xA3\xCE\x91\xCE\xA3"}),
            listing({"x.\xCE\xA3\xCE\x91\xCE\xA3", "y.\xCF\x83\xCE\xB1\xCF\x82"}));
  EXPECT_EQ(entries({".\xC4\xB0"}), listing({"a.i\xCC\x87"}));
  EXPECT_EQ(entries({"I"}), listing({"b.i"}));
}

TEST_F(ListingWire, ManyEntriesComeBackCompleteAndSorted) {
  Names expected;
  for (int i = 999; i >= 0; --i) {
    const std::string name = "f" + std::to_string(i);
    write_file(dir / name, "");
    expected.push_back(name);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(list("get_files", Json::object()), listing(expected));
}

}  // namespace
}  // namespace pelagon2::files
