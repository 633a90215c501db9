// The real Tesseract recognizer, loaded as the host loads it, on text drawn
// here with a Debian font: dark on light and light on dark, one and several
// lines, at sizes from small UI text up.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ocr/ocr_module.h"
#include "platform/tesseract/tesseract_loader.h"
#include "support/ocr_pictures.h"

namespace pelagon2 {
namespace {

using testing::Rgb;
using testing::TextPicture;

class TesseractRecognizerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { recognizer_ = platform::tess::make_lazy_recognizer().release(); }
  static void TearDownTestSuite() {
    delete recognizer_;
    recognizer_ = nullptr;
  }

  static Expected<std::vector<platform::RecognizedLine>> read(const vision_core::RgbImage& image,
                                                              std::optional<std::string> language = std::nullopt) {
    const platform::RecognitionImage input{{}, image.pixels, image.width, image.height};
    return recognizer_->recognize(input, language);
  }

  // Reads `picture` and checks every line's text and rectangle.
  static void expect_read(const TextPicture& picture, const std::string& what) {
    Expected<std::vector<platform::RecognizedLine>> lines = read(picture.image);
    ASSERT_TRUE(lines.ok()) << what << ": " << lines.error();
    const Json reply = ocr::recognition_reply(*lines, picture.image.width, picture.image.height);
    EXPECT_EQ(reply["text"], picture.joined()) << what;
    ASSERT_EQ(reply["lines"].size(), picture.texts.size()) << what;
    for (std::size_t i = 0; i < picture.texts.size(); ++i) {
      const Json& word = reply["lines"][i]["words"][0];
      EXPECT_EQ(word["text"], picture.texts[i]) << what;
      testing::expect_around(word["rect"], picture.inks[i], what + " line " + std::to_string(i));
    }
  }

  static platform::Recognizer* recognizer_;
};

platform::Recognizer* TesseractRecognizerTest::recognizer_ = nullptr;

const Rgb kInk{25, 25, 28}, kPaper{250, 250, 248}, kNight{36, 40, 48}, kMoon{232, 232, 232};

TEST_F(TesseractRecognizerTest, ReadsOneLineAtEverySizeInBothPolarities) {
  for (const std::uint32_t size : {10u, 12u, 14u, 16u, 20u, 28u}) {
    for (const bool dark_on_light : {true, false}) {
      const std::string what = std::to_string(size) + " px " + (dark_on_light ? "dark on light" : "light on dark");
      expect_read(testing::text_picture({"Invoice 4821 was paid on Friday"}, size, dark_on_light ? kPaper : kNight,
                                        dark_on_light ? kInk : kMoon),
                  what);
    }
  }
}

TEST_F(TesseractRecognizerTest, ReadsSeveralLinesInOrder) {
  const std::vector<std::string> texts = {"Open the settings page", "Welcome back, Maria", "Save changes"};
  for (const std::uint32_t size : {11u, 13u, 18u}) {
    expect_read(testing::text_picture(texts, size, kPaper, kInk), std::to_string(size) + " px dark on light");
    expect_read(testing::text_picture(texts, size, kNight, kMoon), std::to_string(size) + " px light on dark");
  }
}

TEST_F(TesseractRecognizerTest, ReadsLightTextOnADarkBarAboveDarkTextOnAPage) {
  TextPicture picture = testing::text_picture({"Quarterly Report", "Budget approved today"}, 14, kPaper, kInk);
  // Paint the first line's band dark and draw it again in light ink.
  testing::fill_rect(picture.image, 0, 0, picture.image.width, 40, kNight.r, kNight.g, kNight.b);
  testing::TextRenderer font;
  picture.inks[0] = font.draw(picture.image, picture.texts[0], 24, 34, 14, kMoon);
  expect_read(picture, "mixed polarity");
}

TEST_F(TesseractRecognizerTest, BlankAndDegeneratePicturesHaveNoLines) {
  for (const auto& [w, h] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {1, 1}, {300, 200}, {1, 3000}, {3000, 1}, {2, 2}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    Expected<std::vector<platform::RecognizedLine>> lines = read(testing::filled_image(w, h, kPaper));
    ASSERT_TRUE(lines.ok()) << lines.error();
    const Json reply = ocr::recognition_reply(*lines, w, h);
    EXPECT_EQ(reply["text"], "");
    EXPECT_TRUE(reply["lines"].empty());
  }
}

TEST_F(TesseractRecognizerTest, RefusesSidesBeyondTheEnginesCoordinatesAndHugePictures) {
  const Expected<std::vector<platform::RecognizedLine>> lines = read(testing::filled_image(32768, 2, kPaper));
  ASSERT_FALSE(lines.ok());
  EXPECT_EQ(lines.error(), "the image is 32768x2 pixels; at most 32767 per side can be read");
  // One column more than the limit allows: refused before any pixel is looked at.
  const platform::RecognitionImage huge{{}, {}, 8193, 8192};
  EXPECT_EQ(recognizer_->recognize(huge, std::nullopt).error(),
            "the image is 8193x8192 pixels; at most 67108864 pixels can be read");
  const platform::RecognitionImage short_pixels{{}, std::vector<std::uint8_t>(10), 4, 4};
  EXPECT_EQ(recognizer_->recognize(short_pixels, std::nullopt).error(), "pixels do not match the image size");
}

TEST_F(TesseractRecognizerTest, LanguagesMapToInstalledDataOrFailWithoutLosingTheEngine) {
  const TextPicture picture = testing::text_picture({"Save changes"}, 16, kPaper, kInk);
  for (const char* language : {"en-US", "en", "eng", "EN_gb"}) {
    Expected<std::vector<platform::RecognizedLine>> lines = read(picture.image, language);
    ASSERT_TRUE(lines.ok()) << language << ": " << lines.error();
    ASSERT_EQ(lines->size(), 1u) << language;
    EXPECT_EQ((*lines)[0].text, "Save changes") << language;
  }
  const struct {
    const char* language;
    std::string error;
  } failures[] = {
      {"xx-YY", "cannot load the language 'xx-YY' (installed: eng)"},
      {"tlh", "cannot load the language 'tlh' (installed: eng)"},
      {"../../../../tmp/x", "unsupported language identifier '../../../../tmp/x'"},
      {"", "unsupported language identifier ''"},
  };
  Expected<std::vector<std::string>> installed = recognizer_->languages();
  ASSERT_TRUE(installed.ok()) << installed.error();
  const bool only_english = *installed == std::vector<std::string>{"eng"};
  for (const auto& f : failures) {
    Expected<std::vector<platform::RecognizedLine>> lines = read(picture.image, f.language);
    ASSERT_FALSE(lines.ok()) << f.language;
    if (only_english || f.error.rfind("unsupported", 0) == 0) {
      EXPECT_EQ(lines.error(), f.error);
    } else {
      EXPECT_EQ(lines.error().rfind("cannot load the language", 0), 0u) << lines.error();
    }
    // The loaded language still serves the next request.
    Expected<std::vector<platform::RecognizedLine>> again = read(picture.image);
    ASSERT_TRUE(again.ok()) << again.error();
    ASSERT_EQ(again->size(), 1u);
    EXPECT_EQ((*again)[0].text, "Save changes");
  }
}

TEST_F(TesseractRecognizerTest, ListsTheInstalledTextLanguages) {
  Expected<std::vector<std::string>> languages = recognizer_->languages();
  ASSERT_TRUE(languages.ok()) << languages.error();
  EXPECT_NE(std::find(languages->begin(), languages->end(), "eng"), languages->end());
  EXPECT_EQ(std::find(languages->begin(), languages->end(), "osd"), languages->end());
  EXPECT_TRUE(std::is_sorted(languages->begin(), languages->end()));
}

}  // namespace
}  // namespace pelagon2
