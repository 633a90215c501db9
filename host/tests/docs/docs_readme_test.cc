// The user README against the host it describes: the method table, the error
// code words, the worked protocol examples and the replies without an X server
// must stay what the host does.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "main/request_handler.h"
#include "support/host_process.h"
#include "support/temp_tree.h"

namespace pelagon2 {
namespace {

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string& readme() {
  static const std::string text = read_text(PELAGON2_README_PATH);
  return text;
}

// The text of the level-two section with this title, up to the next one.
std::string section(const std::string& text, const std::string& title) {
  const std::string heading = "\n## " + title + "\n";
  const std::size_t start = text.find(heading);
  if (start == std::string::npos) return {};
  const std::size_t end = text.find("\n## ", start + heading.size());
  return text.substr(start + heading.size(),
                     end == std::string::npos ? std::string::npos : end - start - heading.size());
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The backticked names that open table rows, e.g. "| `get_version` | ..." or
// "| `bad_params:` | ...", in order of appearance.
std::vector<std::string> first_column_names(const std::string& text, const std::regex& cell) {
  std::vector<std::string> names;
  for (const std::string& line : lines_of(text)) {
    std::smatch match;
    if (std::regex_search(line, match, cell)) names.push_back(match[1]);
  }
  return names;
}

std::multiset<std::string> as_multiset(const std::vector<std::string>& names) { return {names.begin(), names.end()}; }

std::string listed(const std::set<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += " " + name;
  return out.empty() ? " (none)" : out;
}

TEST(Readme, MethodTableListsEveryMethodOfTheHostOnce) {
  const std::string methods = section(readme(), "Methods");
  ASSERT_FALSE(methods.empty()) << "no '## Methods' section in " << PELAGON2_README_PATH;
  const std::vector<std::string> documented = first_column_names(methods, std::regex(R"(^\| `([a-z_]+)` \|)"));

  std::set<std::string> host_names;
  for (const MethodRow& row : method_table()) host_names.insert(std::string(row.name));
  ASSERT_FALSE(host_names.empty());

  const std::multiset<std::string> rows = as_multiset(documented);
  std::set<std::string> twice, missing, unknown;
  for (const std::string& name : rows) {
    if (rows.count(name) > 1) twice.insert(name);
    if (!host_names.count(name)) unknown.insert(name);
  }
  for (const std::string& name : host_names) {
    if (!rows.count(name)) missing.insert(name);
  }
  EXPECT_TRUE(missing.empty()) << "methods the README does not list:" << listed(missing);
  EXPECT_TRUE(unknown.empty()) << "README rows the host does not know:" << listed(unknown);
  EXPECT_TRUE(twice.empty()) << "README rows listed twice:" << listed(twice);
}

// Every code word a message of the host starts with, as written in its sources.
std::set<std::string> code_words_in_sources() {
  const std::regex word(R"re("([a-z]+(?:_[a-z]+)+): )re");
  std::set<std::string> words;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(PELAGON2_HOST_SOURCES)) {
    const std::string extension = entry.path().extension().string();
    if (!entry.is_regular_file() || (extension != ".cc" && extension != ".h" && extension != ".mm")) continue;
    const std::string text = read_text(entry.path());
    for (std::sregex_iterator it(text.begin(), text.end(), word), end; it != end; ++it) words.insert((*it)[1]);
  }
  return words;
}

// The layer order the Layout section states, lowest first: a folder of
// host/src includes headers of its own folder or of a lower layer only, which
// also rules out any cycle between modules.
TEST(Readme, IncludesFollowTheLayerOrder) {
  const std::string layout = section(readme(), "Layout");
  const std::smatch order = [&] {
    std::smatch m;
    std::regex_search(layout, m, std::regex("Layers, lowest first: ([^\\n]+)"));
    return m;
  }();
  ASSERT_FALSE(order.empty()) << "the Layout section states no layer order";
  std::map<std::string, int> rank;
  int level = 0;
  const std::string line = order[1].str();
  const std::regex layer_or_arrow("`([a-z]+)`|\xE2\x86\x92");
  for (auto it = std::sregex_iterator(line.begin(), line.end(), layer_or_arrow); it != std::sregex_iterator(); ++it) {
    if ((*it)[1].matched) {
      rank[(*it)[1].str()] = level;
    } else {
      ++level;
    }
  }
  for (const auto& entry : std::filesystem::directory_iterator(PELAGON2_HOST_SOURCES)) {
    if (entry.is_directory()) {
      EXPECT_TRUE(rank.count(entry.path().filename().string())) << entry.path() << " has no place in the layer order";
    }
  }
  const std::regex include_line("#include \"([a-z_]+)/[^\"]+\"");
  std::size_t checked = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(PELAGON2_HOST_SOURCES)) {
    if (!entry.is_regular_file()) continue;
    const std::filesystem::path relative = std::filesystem::relative(entry.path(), PELAGON2_HOST_SOURCES);
    const std::string folder = relative.begin()->string();
    if (!rank.count(folder)) continue;
    const std::string text = read_text(entry.path());
    for (auto it = std::sregex_iterator(text.begin(), text.end(), include_line); it != std::sregex_iterator(); ++it) {
      const std::string target = (*it)[1].str();
      if (!std::filesystem::is_directory(std::filesystem::path(PELAGON2_HOST_SOURCES) / target)) continue;
      ++checked;
      EXPECT_TRUE(target == folder || (rank.count(target) && rank[target] < rank[folder]))
          << relative << " includes " << (*it)[0].str() << " from a layer not below " << folder;
    }
  }
  EXPECT_GT(checked, 100u);
}

// The modules read the same on every system: what differs between Linux and
// macOS is in the one source per system under core/ that the build picks.
TEST(Readme, SystemBranchesOnlyInThePerSystemSources) {
  const std::regex system_branch("^[ \t]*#[ \t]*(if|ifdef|ifndef|elif)\\b[^\\n]*(__APPLE__|__linux__|__MACH__|__GLIBC__|_CS_DARWIN_)",
                                 std::regex::multiline);
  const std::filesystem::path root(PELAGON2_HOST_SOURCES);
  std::size_t checked = 0;
  for (const char* module : {"core", "cv", "files", "input", "main", "ocr", "screen"}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root / module)) {
      if (!entry.is_regular_file()) continue;
      const std::string name = entry.path().filename().string();
      if (module == std::string("core") && name.rfind("posix_", 0) == 0) continue;
      ++checked;
      const std::string text = read_text(entry.path());
      std::smatch found;
      EXPECT_FALSE(std::regex_search(text, found, system_branch))
          << std::filesystem::relative(entry.path(), root) << ": " << found.str();
    }
  }
  EXPECT_GT(checked, 50u);
}

TEST(Readme, ErrorTableHasTheCodeWordsTheHostUses) {
  const std::string errors = section(readme(), "Errors");
  ASSERT_FALSE(errors.empty()) << "no '## Errors' section in " << PELAGON2_README_PATH;
  const std::vector<std::string> rows = first_column_names(errors, std::regex(R"(^\| `([a-z_]+):` \|)"));
  const std::set<std::string> documented(rows.begin(), rows.end());
  EXPECT_EQ(documented.size(), rows.size()) << "a code word is listed twice";

  const std::set<std::string> used = code_words_in_sources();
  // The search must see the words every build has, or it proves nothing.
  ASSERT_TRUE(used.count("bad_params") && used.count("capture_failed")) << listed(used);
  std::set<std::string> undocumented, stale;
  std::set_difference(used.begin(), used.end(), documented.begin(), documented.end(),
                      std::inserter(undocumented, undocumented.end()));
  std::set_difference(documented.begin(), documented.end(), used.begin(), used.end(),
                      std::inserter(stale, stale.end()));
  EXPECT_TRUE(undocumented.empty()) << "code words the README does not explain:" << listed(undocumented);
  EXPECT_TRUE(stale.empty()) << "code words the host no longer uses:" << listed(stale);
}

// One frame of a worked example: "→ 1f 00 00 00 {...}" or "← ...".
struct ExampleFrame {
  std::string header_hex;
  std::string body;
};

std::string hex_of_length(std::size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<std::uint8_t>(length >> (8 * i));
    if (i > 0) hex += ' ';
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

TEST(Readme, WorkedExamplesAreWhatTheHostAnswers) {
  const std::string protocol = section(readme(), "The protocol in brief");
  ASSERT_FALSE(protocol.empty()) << "no '## The protocol in brief' section";
  const std::regex frame_line(R"(^(→|←) ((?:[0-9a-f]{2} ){3}[0-9a-f]{2}) (.+)$)");

  std::vector<std::pair<ExampleFrame, ExampleFrame>> examples;
  std::optional<ExampleFrame> request;
  for (const std::string& line : lines_of(protocol)) {
    std::smatch match;
    if (!std::regex_match(line, match, frame_line)) continue;
    const ExampleFrame parsed{match[2], match[3]};
    if (match[1] == "→") {
      EXPECT_FALSE(request.has_value()) << "a request without its reply: " << request->body;
      request = parsed;
    } else {
      ASSERT_TRUE(request.has_value()) << "a reply without its request: " << line;
      examples.emplace_back(*request, parsed);
      request.reset();
    }
  }
  EXPECT_FALSE(request.has_value()) << "a request without its reply";
  ASSERT_GE(examples.size(), 2u) << "the worked examples are gone";

  // One host for all of them, as a port would use it.
  testing::HostProcess host;
  for (const auto& [sent, expected] : examples) {
    SCOPED_TRACE(sent.body);
    EXPECT_EQ(sent.header_hex, hex_of_length(sent.body.size())) << "the request's length bytes";
    EXPECT_EQ(expected.header_hex, hex_of_length(expected.body.size())) << "the reply's length bytes";
    ASSERT_TRUE(host.send_frame(sent.body)) << host.last_error();
    const std::optional<std::string> reply = host.read_frame();
    ASSERT_TRUE(reply.has_value()) << host.last_error();
    EXPECT_EQ(*reply, expected.body);
  }
}

#if PELAGON2_X11_BACKEND
// Parameters that get each screen or input method past its own checks, so the
// reply shows what the missing X server does to it.
Json params_reaching_the_screen(const std::string& method) {
  const Json pixel = {{"data", "AAAA"}, {"width", 1}, {"height", 1}};
  const Json one_pixel_rect = {{"x", 0}, {"y", 0}, {"width", 1}, {"height", 1}};
  std::map<std::string, Json> params;
  params["search_desktop"] = Json{{"pattern", pixel}};
  params["wait_for_image"] = Json{{"pattern", pixel}, {"timeoutMs", 0}};
  params["search_relative"] = Json{{"pattern", pixel}, {"offset", one_pixel_rect}};
  params["find_color_regions"] = Json{{"color", "ff0000"}};
  params["find_rectangle"] = Json{{"color", "ff0000"}};
  params["send_mouse_event"] = Json{{"type", 3}, {"button", 0}, {"x", 5}, {"y", 5}};
  params["send_mouse_wheel_event"] = Json{{"deltaX", 1}, {"deltaY", 0}};
  params["send_text"] = Json{{"text", "a"}};
  params["request_permission"] = Json{{"kind", "screenRecording"}};
  const auto it = params.find(method);
  return it == params.end() ? Json::object() : it->second;
}

TEST(Readme, RepliesWithoutAnXServerAreWhatTheHostAnswers) {
  const std::string permissions = section(readme(), "Permissions");
  const std::size_t table = permissions.find("| request | reply without an X server |");
  ASSERT_NE(table, std::string::npos) << "the table of replies without an X server is gone";

  std::set<std::string> host_names;
  for (const MethodRow& row : method_table()) host_names.insert(std::string(row.name));
  const std::regex row_pattern(R"(^\| (.+) \| (error )?`(.+)` \|$)");
  const std::regex name_pattern(R"(`([a-z_]+)`)");

  // An empty DISPLAY: no X server, whatever the environment has.
  testing::TempTree scratch;
  testing::HostProcess host({"DISPLAY=", "TMPDIR=" + scratch.path()});
  int checked = 0;
  for (const std::string& line : lines_of(permissions.substr(table))) {
    if (line.empty()) break;
    std::smatch row;
    if (!std::regex_match(line, row, row_pattern)) continue;
    const bool is_error = row[2].matched;
    const std::string expected = row[3];
    const std::string methods = row[1];
    for (std::sregex_iterator it(methods.begin(), methods.end(), name_pattern), end; it != end; ++it) {
      const std::string method = (*it)[1];
      if (!host_names.count(method)) continue;  // a parameter named in the cell
      SCOPED_TRACE(method);
      const Json reply = host.request(method, params_reaching_the_screen(method));
      if (is_error) {
        ASSERT_TRUE(reply.contains("error")) << to_json_text(reply);
        EXPECT_EQ(reply["error"]["message"], expected);
      } else {
        ASSERT_TRUE(reply.contains("result")) << to_json_text(reply);
        EXPECT_EQ(to_json_text(reply["result"]), expected);
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 10) << "fewer rows than the table had when this test was written";
  EXPECT_TRUE(std::filesystem::is_empty(scratch.path())) << "a capture file was written without a screen";
}
#endif

}  // namespace
}  // namespace pelagon2
