// Text recognition through the real host: rendered PNGs over the wire, the
// installed languages, and what loading the engine does to the process (only
// on demand, one thread, the environment left as given, nothing on stderr).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/base64.h"
#include "support/host_process.h"
#include "support/ocr_pictures.h"
#include "support/temp_tree.h"
#include "testkit/ui_text_screen.h"

namespace pelagon2::testing {
namespace {

std::string proc_file(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool maps_library(pid_t pid, const std::string& name) { return proc_file(pid, "maps").find(name) != std::string::npos; }

int thread_count(pid_t pid) {
  const std::string status = proc_file(pid, "status");
  const std::size_t at = status.find("Threads:");
  return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + 8);
}

std::string child_sees_thread_limit(HostProcess& host) {
  const Json reply = host.request(
      "run_process", Json{{"fileName", "printf"}, {"arguments", "%s \"${OMP_THREAD_LIMIT-unset}\""}, {"waitForExit", true}});
  return reply.contains("result") ? reply["result"]["stdout"].get<std::string>() : to_json_text(reply);
}

const Rgb kInk{25, 25, 28}, kPaper{250, 250, 248};

class OcrWire : public ::testing::Test {
 protected:
  // No limit in the environment unless a test puts one there.
  void SetUp() override { ::unsetenv("OMP_THREAD_LIMIT"); }
};

TEST_F(OcrWire, TwoLinesComeBackWithTheirTextAndRectangles) {
  const TextPicture picture = text_picture({"Meeting notes for Tuesday", "Budget approved at 12,400 EUR"}, 14, kPaper, kInk);
  const std::string png = encode_png(picture.image);
  TempTree tree;
  const std::string file = tree.put("two lines.png", png);
  HostProcess host;
  for (const Json& params : {Json{{"content", base64_encode(png)}}, Json{{"path", file}},
                             Json{{"content", base64_encode(png)}, {"language", "en-US"}}}) {
    SCOPED_TRACE(params.contains("path") ? "path" : params.contains("language") ? "language" : "content");
    const Json reply = host.request("ocr_image", params);
    ASSERT_TRUE(reply.contains("result")) << to_json_text(reply);
    const Json& result = reply["result"];
    EXPECT_EQ(result["text"], "Meeting notes for Tuesday\nBudget approved at 12,400 EUR");
    ASSERT_EQ(result["lines"].size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      const Json& line = result["lines"][i];
      EXPECT_EQ(line["text"], picture.texts[i]);
      ASSERT_EQ(line["words"].size(), 1u);
      EXPECT_EQ(line["words"][0]["text"], picture.texts[i]);
      for (const char* key : {"x", "y", "width", "height"}) EXPECT_TRUE(line["words"][0]["rect"][key].is_number_float());
      expect_around(line["words"][0]["rect"], picture.inks[i], picture.texts[i]);
    }
  }
  host.close_input();
  EXPECT_EQ(host.wait_exit(), 0);
}

TEST_F(OcrWire, LanguageListNamesTheInstalledTextLanguages) {
  std::vector<std::string> expected;
  const std::filesystem::path data = "/usr/share/tesseract-ocr/5/tessdata";
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(data, ignored)) {
    if (entry.path().extension() == ".traineddata" && entry.path().stem() != "osd") {
      expected.push_back(entry.path().stem().string());
    }
  }
  std::sort(expected.begin(), expected.end());
  HostProcess host;
  const Json reply = host.request("ocr_language_list", Json{{"ignored", true}});
  ASSERT_TRUE(reply.contains("result")) << to_json_text(reply);
  ASSERT_TRUE(reply["result"].is_array());
  if (!expected.empty()) {
    EXPECT_EQ(reply["result"].get<std::vector<std::string>>(), expected);
  }
  const auto names = reply["result"].get<std::vector<std::string>>();
  EXPECT_NE(std::find(names.begin(), names.end(), "eng"), names.end());
}

TEST_F(OcrWire, EngineLoadsOnDemandAndRunsOnTheHostsOneThread) {
  const std::string screen = base64_encode(encode_png(ui_text_screen().image));
  HostProcess host;
  ASSERT_TRUE(host.request("get_version").contains("result"));
  EXPECT_FALSE(maps_library(host.pid(), "libtesseract"));
  EXPECT_FALSE(maps_library(host.pid(), "libgomp"));
  EXPECT_FALSE(maps_library(host.pid(), "libpelagon2_tesseract"));

  const Json reply = host.request("ocr_image", Json{{"content", screen}});
  ASSERT_TRUE(reply.contains("result")) << to_json_text(reply).substr(0, 300);
  EXPECT_GT(reply["result"]["lines"].size(), 10u);
  EXPECT_TRUE(maps_library(host.pid(), "libtesseract"));
  EXPECT_TRUE(maps_library(host.pid(), "libgomp"));
  EXPECT_EQ(thread_count(host.pid()), 1);
  // The limit was only there while the engine loaded.
  EXPECT_EQ(child_sees_thread_limit(host), "unset");
}

TEST_F(OcrWire, CallersThreadLimitIsOverruledForTheEngineButPassedOnToCommands) {
  const std::string screen = base64_encode(encode_png(ui_text_screen().image));
  HostProcess host({"OMP_THREAD_LIMIT=4"});
  ASSERT_TRUE(host.request("ocr_image", Json{{"content", screen}}).contains("result"));
  EXPECT_EQ(thread_count(host.pid()), 1);
  EXPECT_EQ(child_sees_thread_limit(host), "4");
}

TEST_F(OcrWire, NothingReachesTheStandardErrorStream) {
  TempTree tree;
  const std::string log = tree / "stderr";
  const int saved = ::dup(2);
  const int sink = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(sink, 0);
  ::dup2(sink, 2);
  {
    HostProcess host;
    ::dup2(saved, 2);
    const std::string blank = base64_encode(encode_png(filled_image(3, 3, kPaper)));
    const std::string tiny = base64_encode(encode_png(filled_image(1, 1, kInk)));
    const std::string text = base64_encode(encode_png(text_picture({"Save changes"}, 9, kPaper, kInk).image));
    const Json requests[] = {
        Json{{"content", blank}, {"language", "no-such-language"}},
        Json{{"content", blank}, {"language", "de-DE"}},
        Json{{"content", blank}},
        Json{{"content", tiny}},
        Json{{"content", text}},
    };
    for (const Json& params : requests) host.request("ocr_image", params);
    host.request("ocr_language_list");
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
  }
  ::dup2(saved, 2);
  ::close(saved);
  ::close(sink);
  EXPECT_EQ(read_file(log), "");
}

TEST_F(OcrWire, MissingOrForeignEngineLibraryFailsPerRequest) {
  TempTree tree;
  const std::string host_copy = tree / "pelagon2";
  std::filesystem::copy_file(testing::host_under_test(), host_copy);
  const std::string library = tree / "libpelagon2_tesseract.so";
  const std::string png = base64_encode(encode_png(filled_image(8, 8, kPaper)));
  struct Case {
    const char* name;
    std::string library_content;  // empty: no file
    std::string recognize_error;
  };
  std::string foreign;
  for (const char* candidate : {"/lib/x86_64-linux-gnu/libz.so.1", "/usr/lib/x86_64-linux-gnu/libz.so.1"}) {
    if (std::filesystem::exists(candidate)) foreign = read_file(candidate);
  }
  const Case cases[] = {
      {"missing", "", "ocr_failed: recognize: cannot load the text recognizer: " + library +
                          ": cannot open shared object file: No such file or directory"},
      {"not a library", "not a library", "ocr_failed: recognize: cannot load the text recognizer: " + library +
                                             ": file too short"},
      {"another library", foreign,
       "ocr_failed: recognize: cannot load the text recognizer: " + library + " does not match this host"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(library);
    if (!c.library_content.empty()) write_file(library, c.library_content);
    HostClient host(host_copy);
    ASSERT_TRUE(host.started());
    const std::optional<Json> image = host.call("ocr_image", Json{{"content", png}});
    ASSERT_TRUE(image.has_value()) << host.last_error();
    EXPECT_EQ((*image)["error"]["message"], c.recognize_error);
    const std::optional<Json> languages = host.call("ocr_language_list");
    ASSERT_TRUE(languages.has_value()) << host.last_error();
    const std::string message = (*languages)["error"]["message"].get<std::string>();
    EXPECT_EQ(message, "ocr_failed: languages: " + c.recognize_error.substr(std::string("ocr_failed: recognize: ").size()));
    const std::optional<Json> version = host.call("get_version");
    ASSERT_TRUE(version.has_value());
    EXPECT_EQ((*version)["result"], "2.0.2");
  }
}

}  // namespace
}  // namespace pelagon2::testing
