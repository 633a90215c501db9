// The extension-side client library against the host: its method list and its
// type declarations name exactly the host's methods.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "main/request_handler.h"

namespace pelagon2 {
namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text between `opening` and the first `closing` after it.
std::string block(const std::string& text, const std::string& opening, const std::string& closing) {
  const std::size_t start = text.find(opening);
  if (start == std::string::npos) return {};
  const std::size_t end = text.find(closing, start + opening.size());
  return text.substr(start + opening.size(), end == std::string::npos ? std::string::npos : end - start);
}

std::multiset<std::string> names_in(const std::string& text, const std::regex& pattern) {
  std::multiset<std::string> names;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) names.insert((*it)[1]);
  return names;
}

std::string listed(const std::set<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += " " + name;
  return out.empty() ? " (none)" : out;
}

void expect_host_names(const std::multiset<std::string>& found, const char* where) {
  std::set<std::string> host;
  for (const MethodRow& row : method_table()) host.insert(std::string(row.name));
  ASSERT_GE(host.size(), 40u);
  std::set<std::string> missing, unknown, twice;
  for (const std::string& name : found) {
    if (!host.count(name)) unknown.insert(name);
    if (found.count(name) > 1) twice.insert(name);
  }
  for (const std::string& name : host) {
    if (!found.count(name)) missing.insert(name);
  }
  EXPECT_TRUE(missing.empty()) << where << " lacks:" << listed(missing);
  EXPECT_TRUE(unknown.empty()) << where << " names methods the host does not have:" << listed(unknown);
  EXPECT_TRUE(twice.empty()) << where << " names twice:" << listed(twice);
}

TEST(ClientLibrary, MethodListIsTheHostsTable) {
  const std::string list = block(read_text(PELAGON2_CLIENT_DIR "/pelagon2.js"), "export const METHODS = Object.freeze([", "]);");
  ASSERT_FALSE(list.empty()) << "no METHODS list in pelagon2.js";
  expect_host_names(names_in(list, std::regex(R"('([a-z_]+)',)")), "pelagon2.js METHODS");
}

TEST(ClientLibrary, TypesDeclareEveryMethod) {
  const std::string methods = block(read_text(PELAGON2_CLIENT_DIR "/pelagon2.d.ts"), "export interface Methods {", "\n}");
  ASSERT_FALSE(methods.empty()) << "no Methods interface in pelagon2.d.ts";
  expect_host_names(names_in(methods, std::regex(R"(\n  ([a-z_]+): \[)")), "pelagon2.d.ts Methods");
}

}  // namespace
}  // namespace pelagon2
