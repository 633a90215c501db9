#include "tools/client/call_arguments.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace pelagon2 {
namespace {

std::string params_text(const std::vector<std::string>& words) {
  const Expected<Json> params = build_params(words);
  return params.ok() ? to_json_text(*params) : "error: " + params.error();
}

TEST(CallArguments, ValuesAreJsonOrText) {
  struct Case {
    std::vector<std::string> words;
    const char* params;
  };
  const Case cases[] = {
      {{}, "{}"},
      {{"path=/tmp/a b"}, R"({"path":"/tmp/a b"})"},
      {{"folder=1"}, R"({"folder":1})"},
      {{"folder=1.0"}, R"({"folder":1.0})"},
      {{"flag=true", "none=null"}, R"({"flag":true,"none":null})"},
      {{"text=\"42\""}, R"({"text":"42"})"},
      {{"list=[1,\"a\"]"}, R"({"list":[1,"a"]})"},
      {{"half={\"a\":"}, R"({"half":"{\"a\":"})"},
      {{"empty="}, R"({"empty":""})"},
      {{"eq=a=b"}, R"({"eq":"a=b"})"},
      {{"options.minSimilarity=0.9", "options.searchArea.x=-10", "options.allowSizeVariation=true"},
       R"({"options":{"allowSizeVariation":true,"minSimilarity":0.9,"searchArea":{"x":-10}}})"},
      {{"a=1", "a.b=2"}, R"({"a":{"b":2}})"},
      {{"novalue"}, "error: expected key=value, got 'novalue'"},
      {{"=3"}, "error: expected key=value, got '=3'"},
      {{"data=@/no/such/file"}, "error: cannot read /no/such/file"},
  };
  for (const auto& c : cases) EXPECT_EQ(params_text(c.words), c.params) << ::testing::PrintToString(c.words);
}

TEST(CallArguments, AtFileInsertsBase64) {
  const std::string path = ::testing::TempDir() + "call_arguments_bytes";
  std::ofstream(path, std::ios::binary) << std::string("\x89PNG\0\xff", 6);
  EXPECT_EQ(params_text({"pattern.data=@" + path}), R"({"pattern":{"data":"iVBORwD/"}})");
  std::remove(path.c_str());
}

TEST(CallArguments, AtDirectoryIsAnErrorNotACrash) {
  const std::string dir = ::testing::TempDir();
  EXPECT_EQ(params_text({"pattern.data=@" + dir}), "error: cannot read " + dir + ": Is a directory");
}

TEST(CallArguments, PrettyPrintKeepsWireSpelling) {
  const Json reply = Json::parse(R"({"id":1,"result":{"regions":[{"score":1e16,"x":[]}],"z":{}}})");
  EXPECT_EQ(pretty_json(reply),
            "{\n  \"id\": 1,\n  \"result\": {\n    \"regions\": [\n      {\n        \"score\": 1e16,\n"
            "        \"x\": []\n      }\n    ],\n    \"z\": {}\n  }\n}");
}

}  // namespace
}  // namespace pelagon2
