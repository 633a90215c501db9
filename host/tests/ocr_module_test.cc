// ocr_image and ocr_language_list through the host's method table, against a
// scripted recognizer: parameter order and messages, what the recognizer is
// handed, and how its lines become the reply.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/base64.h"
#include "fakes/fake_platform.h"
#include "main/request_handler.h"
#include "platform/no_screen.h"
#include "support/temp_tree.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2 {
namespace {

using platform::RecognizedLine;

RecognizedLine line(std::optional<std::string> text, double x, double y, double w, double h) {
  RecognizedLine l;
  l.text = std::move(text);
  l.x = x;
  l.y = y;
  l.width = w;
  l.height = h;
  return l;
}

class OcrModuleTest : public ::testing::Test {
 protected:
  std::string reply(const char* method, const Json& params) {
    Outcome outcome = dispatch_method(method, params, platform_);
    return outcome.ok() ? to_json_text(outcome.value()) : "(error) " + outcome.error();
  }
  std::string ocr(const Json& params) { return reply("ocr_image", params); }

  vision_core::RgbImage picture_ = testing::noise_image(200, 100, 3);
  std::string png_ = testing::encode_png(picture_);
  std::string content_ = base64_encode(png_);
  testing::FakePlatform platform_;
  testing::FakeRecognizer& recognizer_ = platform_.recognizer_fake();
  testing::TempTree tree_;
};

TEST_F(OcrModuleTest, ReportsTheFirstFailingParameter) {
  const std::string file = tree_.put("picture.png", png_);
  const std::string missing = tree_ / "missing.png";
  static constexpr char kJpegStart[] = "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01";
  const std::string jpeg = base64_encode(std::string(kJpegStart, sizeof kJpegStart - 1));
  struct Case {
    const char* name;
    Json params;
    std::string error;
  };
  const Case cases[] = {
      {"no params", Json(), "bad_params: pass image bytes as 'content' (base64) or a 'path'"},
      {"params not an object", Json::array({content_}), "bad_params: pass image bytes as 'content' (base64) or a 'path'"},
      {"neither", Json{{"language", "en-US"}}, "bad_params: pass image bytes as 'content' (base64) or a 'path'"},
      {"content not a string, no path", Json{{"content", 5}},
       "bad_params: pass image bytes as 'content' (base64) or a 'path'"},
      {"path not a string", Json{{"path", Json::array({file})}},
       "bad_params: pass image bytes as 'content' (base64) or a 'path'"},
      {"bad base64", Json{{"content", "AAAA="}}, "bad_params: base64 decode failed: Invalid symbol 61, offset 4."},
      {"bad base64 wins over a good path", Json{{"content", "A"}, {"path", file}},
       "bad_params: base64 decode failed: Invalid input length: 1"},
      {"missing file", Json{{"path", missing}}, "read_failed: " + missing + ": No such file or directory (os error 2)"},
      {"directory", Json{{"path", tree_.path()}}, "read_failed: " + tree_.path() + ": Is a directory (os error 21)"},
      {"content ignores a missing path", Json{{"content", jpeg}, {"path", missing}},
       "bad_image: cannot decode: Not a PNG file"},
      {"empty content", Json{{"content", ""}}, "bad_image: cannot decode: Not a PNG file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ocr(c.params), "(error) " + c.error);
  }
  EXPECT_TRUE(recognizer_.calls.empty()) << "no failing request may reach the recognizer";
}

TEST_F(OcrModuleTest, HandsTheRecognizerTheSuppliedBytesTheirPixelsAndTheLanguage) {
  const std::string file = tree_.put("picture.png", png_);
  const std::vector<std::uint8_t> bytes(png_.begin(), png_.end());
  struct Case {
    const char* name;
    Json params;
    std::optional<std::string> language;
  };
  const Case cases[] = {
      {"content", Json{{"content", content_}}, std::nullopt},
      {"content wins over path", Json{{"content", content_}, {"path", tree_ / "missing.png"}}, std::nullopt},
      {"path when content is not a string", Json{{"content", 7}, {"path", file}}, std::nullopt},
      {"language", Json{{"content", content_}, {"language", "de-DE"}}, "de-DE"},
      {"language passed on as given", Json{{"content", content_}, {"language", "not a language"}}, "not a language"},
      {"language not a string", Json{{"content", content_}, {"language", Json::array({"en-US"})}}, std::nullopt},
      {"language null", Json{{"path", file}, {"language", nullptr}}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recognizer_.calls.clear();
    EXPECT_EQ(ocr(c.params), R"({"lines":[],"text":""})");
    ASSERT_EQ(recognizer_.calls.size(), 1u);
    const testing::FakeRecognizer::Call& call = recognizer_.calls[0];
    EXPECT_EQ(call.encoded, bytes);
    EXPECT_EQ(call.rgb, picture_.pixels);
    EXPECT_EQ(call.width, 200u);
    EXPECT_EQ(call.height, 100u);
    EXPECT_EQ(call.language, c.language);
  }
}

TEST_F(OcrModuleTest, ShapesTheRecognizersLinesIntoTheReply) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    std::vector<RecognizedLine> lines;
    std::string reply;
  };
  const Case cases[] = {
      {"no observations", {}, R"({"lines":[],"text":""})"},
      {"box from the bottom-left corner",
       {line("A", 0.25, 0.5, 0.5, 0.25)},
       R"({"lines":[{"text":"A","words":[{"rect":{"height":25.0,"width":100.0,"x":50.0,"y":25.0},"text":"A"}]}],"text":"A"})"},
      {"three lines in the recognizer's order",
       {line("A", 0, 0.75, 0.5, 0.25), line("B", 0.5, 0.5, 0.5, 0.25), line("C", 0, 0, 1, 0.5)},
       R"({"lines":[)"
       R"({"text":"A","words":[{"rect":{"height":25.0,"width":100.0,"x":0.0,"y":0.0},"text":"A"}]},)"
       R"({"text":"B","words":[{"rect":{"height":25.0,"width":100.0,"x":100.0,"y":25.0},"text":"B"}]},)"
       R"({"text":"C","words":[{"rect":{"height":50.0,"width":200.0,"x":0.0,"y":50.0},"text":"C"}]}],)"
       R"("text":"A\nB\nC"})"},
      {"observation without a candidate is left out",
       {line("A", 0, 0.75, 0.5, 0.25), line(std::nullopt, 0.1, 0.1, 0.1, 0.1), line("C", 0, 0, 1, 0.5)},
       R"({"lines":[)"
       R"({"text":"A","words":[{"rect":{"height":25.0,"width":100.0,"x":0.0,"y":0.0},"text":"A"}]},)"
       R"({"text":"C","words":[{"rect":{"height":50.0,"width":200.0,"x":0.0,"y":50.0},"text":"C"}]}],)"
       R"("text":"A\nC"})"},
      {"only observations without candidates", {line(std::nullopt, 0, 0, 1, 1)}, R"({"lines":[],"text":""})"},
      {"an empty candidate is still a line",
       {line("", 0, 0, 1, 1), line("x", 0, 0, 1, 1)},
       R"({"lines":[)"
       R"({"text":"","words":[{"rect":{"height":100.0,"width":200.0,"x":0.0,"y":0.0},"text":""}]},)"
       R"({"text":"x","words":[{"rect":{"height":100.0,"width":200.0,"x":0.0,"y":0.0},"text":"x"}]}],)"
       R"("text":"\nx"})"},
      {"fractions stay unrounded, non-finite values are null",
       {line("\xC3\xA9t\xC3\xA9 \"q\"", 0.0031, 0.2, nan, inf)},
       R"({"lines":[{"text":"\u00e9t\u00e9 \"q\"","words":[{"rect":{"height":null,"width":null,"x":0.62,"y":null},"text":"\u00e9t\u00e9 \"q\""}]}],"text":"\u00e9t\u00e9 \"q\""})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recognizer_.lines = c.lines;
    std::string expected = c.reply;
    // Non-ASCII text travels as raw UTF-8.
    for (std::size_t at; (at = expected.find("\\u00e9")) != std::string::npos;) expected.replace(at, 6, "\xC3\xA9");
    EXPECT_EQ(ocr(Json{{"content", content_}}), expected);
  }
}

TEST_F(OcrModuleTest, RecognizerFailuresCarryTheirOwnText) {
  recognizer_.lines = make_error("The operation couldn't be completed.");
  EXPECT_EQ(ocr(Json{{"content", content_}}), "(error) ocr_failed: recognize: The operation couldn't be completed.");
  recognizer_.language_list = make_error("no languages");
  EXPECT_EQ(reply("ocr_language_list", Json()), "(error) ocr_failed: languages: no languages");
}

TEST_F(OcrModuleTest, LanguageListIsABareArrayWhateverTheParams) {
  recognizer_.language_list = std::vector<std::string>{"en-US", "fr-FR", "zh-Hans"};
  for (const Json& params : {Json(), Json::object(), Json{{"content", 5}}, Json::array({1, 2}), Json("x")}) {
    SCOPED_TRACE(to_json_text(params));
    EXPECT_EQ(reply("ocr_language_list", params), R"(["en-US","fr-FR","zh-Hans"])");
  }
  recognizer_.language_list = std::vector<std::string>{};
  EXPECT_EQ(reply("ocr_language_list", Json()), "[]");
  EXPECT_TRUE(recognizer_.calls.empty());
}

TEST(OcrWithoutRecognizer, BuildsWithoutOneSayLess) {
  const std::string content = base64_encode(testing::encode_png(testing::noise_image(4, 4, 1)));
  const std::unique_ptr<platform::Platform> bare = platform::create_no_screen_platform();
  Outcome image = dispatch_method("ocr_image", Json{{"content", content}}, *bare);
  ASSERT_FALSE(image.ok());
  EXPECT_EQ(image.error(), "ocr_failed: recognize: no text recognizer in this build");
  Outcome languages = dispatch_method("ocr_language_list", Json(), *bare);
  ASSERT_FALSE(languages.ok());
  EXPECT_EQ(languages.error(), "ocr_failed: languages: no text recognizer in this build");

  bare->recognizer.reset();
  EXPECT_EQ(dispatch_method("ocr_image", Json{{"content", content}}, *bare).error(),
            "ocr_failed: recognize: no text recognizer in this build");
  EXPECT_EQ(dispatch_method("ocr_language_list", Json(), *bare).error(),
            "ocr_failed: languages: no text recognizer in this build");
}

}  // namespace
}  // namespace pelagon2
