// The Tesseract recognizer's decisions, without the engine: language names,
// the library's place, the prepared picture, small-line crops, and the boxes
// that the shared reply code turns back into pixels.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ocr/ocr_module.h"
#include "platform/tesseract/tesseract_model.h"
#include <algorithm>

#include "testkit/synthetic_screen.h"
#include "testkit/text_render.h"

namespace pelagon2::platform::tess {
namespace {

TEST(TesseractLanguage, MapsCommonIdentifiersToTesseractNames) {
  const struct {
    const char* identifier;
    const char* name;
  } rows[] = {
      {"en-US", "eng"},       {"en", "eng"},           {"EN_gb", "eng"},       {"de-DE", "deu"},
      {"de-AT", "deu"},       {"fr-FR", "fra"},        {"fr-CA", "fra"},       {"it-IT", "ita"},
      {"es-ES", "spa"},       {"es-419", "spa"},       {"pt-BR", "por"},       {"pt-PT", "por"},
      {"zh-Hans", "chi_sim"}, {"zh-Hant", "chi_tra"},  {"zh-CN", "chi_sim"},   {"zh-TW", "chi_tra"},
      {"zh-HK", "chi_tra"},   {"zh", "chi_sim"},       {"zh-Hant-CN", "chi_tra"}, {"zh-hans-tw", "chi_sim"},
      {"yue-Hant", "chi_tra"}, {"yue-Hans", "chi_sim"}, {"ja-JP", "jpn"},      {"ko-KR", "kor"},
      {"ru-RU", "rus"},       {"uk-UA", "ukr"},        {"th-TH", "tha"},       {"vi-VT", "vie"},
      {"ar-SA", "ara"},       {"ars-SA", "ara"},       {"tr-TR", "tur"},       {"id-ID", "ind"},
      {"cs-CZ", "ces"},       {"da-DK", "dan"},        {"nl-NL", "nld"},       {"no-NO", "nor"},
      {"nb-NO", "nor"},       {"nn-NO", "nor"},        {"ms-MY", "msa"},       {"pl-PL", "pol"},
      {"ro-RO", "ron"},       {"sv-SE", "swe"},        {"he-IL", "heb"},       {"iw", "heb"},
      {"sr-RS", "srp"},       {"sr-Latn-RS", "srp_latn"}, {"uz-Cyrl", "uzb_cyrl"}, {"uz", "uzb"},
      {"az-Cyrl-AZ", "aze_cyrl"}, {"fil-PH", "fil"},   {"el-GR", "ell"},       {"hi-IN", "hin"},
      // Tesseract's own names and anything unknown pass unchanged.
      {"eng", "eng"},         {"deu", "deu"},          {"chi_sim", "chi_sim"}, {"srp_latn", "srp_latn"},
      {"eng+deu", "eng+deu"}, {"script/Latin", "script/Latin"}, {"xx-YY", "xx-YY"}, {"klingon", "klingon"},
      {"e", "e"},             {"", ""},                {"en-", "eng"},         {"-en", "-en"},
  };
  for (const auto& row : rows) EXPECT_EQ(tesseract_language(row.identifier), row.name) << row.identifier;
}

TEST(TesseractLanguage, OnlyNamesThatStayInsideTheDataFolderAreSafe) {
  for (const char* name : {"eng", "chi_sim", "eng+deu", "script/Latin", "eng+~deu", "srp_latn"}) {
    EXPECT_TRUE(is_safe_language_name(name)) << name;
  }
  for (const std::string& name : std::vector<std::string>{"", "../etc/passwd", "eng.bak", "/etc/shadow", "a b", "eng\n", std::string("en\0g", 4),
                           "script/../../x", "\xC3\xA9"}) {
    EXPECT_FALSE(is_safe_language_name(name)) << name;
  }
}

TEST(TesseractLanguage, OrientationDataIsNoTextLanguage) {
  EXPECT_EQ(text_languages({"deu", "eng", "osd", "script/Latin"}),
            (std::vector<std::string>{"deu", "eng", "script/Latin"}));
  EXPECT_EQ(text_languages({"osd"}), std::vector<std::string>{});
}

TEST(TesseractLibrary, LiesBesideTheExecutable) {
  EXPECT_EQ(engine_library_path("/opt/pelagon2/bin/pelagon2"), "/opt/pelagon2/bin/libpelagon2_tesseract.so");
  EXPECT_EQ(engine_library_path("/pelagon2"), "/libpelagon2_tesseract.so");
  EXPECT_EQ(engine_library_path("pelagon2"), "./libpelagon2_tesseract.so");
}

// ---- The prepared picture ----

struct Canvas {
  std::uint32_t width, height;
  std::vector<std::uint8_t> rgb;
  Canvas(std::uint32_t w, std::uint32_t h, std::uint8_t grey) : width(w), height(h), rgb(std::size_t{w} * h * 3, grey) {}
  void fill(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h, std::uint8_t grey) {
    for (std::uint32_t row = y; row < y + h; ++row) {
      for (std::uint32_t col = x; col < x + w; ++col) {
        for (int c = 0; c < 3; ++c) rgb[(std::size_t{row} * width + col) * 3 + static_cast<std::size_t>(c)] = grey;
      }
    }
  }
  std::uint8_t at(const GreyImage& image, std::uint32_t x, std::uint32_t y) const {
    return image.pixels[std::size_t{y} * image.width + x];
  }
};

// Plain sorting medians, to hold the running-histogram passes against.
std::uint8_t sorted_median(std::vector<std::uint8_t> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];  // the upper one of an even count
}

GreyImage reference_background(const GreyImage& in, std::int64_t r) {
  const std::int64_t w = in.width, h = in.height;
  GreyImage rows = in, out = in;
  for (std::int64_t y = 0; y < h; ++y) {
    for (std::int64_t x = 0; x < w; ++x) {
      std::vector<std::uint8_t> window;
      for (std::int64_t i = std::max<std::int64_t>(0, x - r); i <= std::min(w - 1, x + r); ++i) {
        window.push_back(in.pixels[static_cast<std::size_t>(y * w + i)]);
      }
      rows.pixels[static_cast<std::size_t>(y * w + x)] = sorted_median(window);
    }
  }
  for (std::int64_t y = 0; y < h; ++y) {
    for (std::int64_t x = 0; x < w; ++x) {
      std::vector<std::uint8_t> window;
      for (std::int64_t i = std::max<std::int64_t>(0, y - r); i <= std::min(h - 1, y + r); ++i) {
        window.push_back(rows.pixels[static_cast<std::size_t>(i * w + x)]);
      }
      out.pixels[static_cast<std::size_t>(y * w + x)] = sorted_median(window);
    }
  }
  return out;
}

TEST(TesseractPicture, RunningMediansMatchSortedOnes) {
  testing::Lcg rng(11);
  const struct {
    std::uint32_t width, height, radius, levels;
  } rows[] = {
      {1, 1, 10, 256}, {1, 40, 3, 4},  {40, 1, 3, 4},    {7, 5, 10, 3},   {64, 48, 10, 2},
      {64, 48, 10, 5}, {64, 48, 4, 256}, {33, 29, 1, 256}, {50, 50, 0, 256}, {90, 60, 10, 256},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.width) + "x" + std::to_string(row.height) + " r" + std::to_string(row.radius) +
                 " levels " + std::to_string(row.levels));
    GreyImage grey{row.width, row.height, std::vector<std::uint8_t>(std::size_t{row.width} * row.height)};
    // Runs of equal samples, as on a screen, broken by random values.
    std::uint8_t value = 0;
    for (std::uint8_t& v : grey.pixels) {
      if (rng.below(4) == 0) value = static_cast<std::uint8_t>(rng.below(row.levels) * (255 / std::max(1u, row.levels - 1)));
      v = value;
    }
    EXPECT_EQ(median_background(grey, row.radius).pixels, reference_background(grey, row.radius).pixels);
  }
}

TEST(TesseractPicture, BackgroundKeepsPanelsAndDropsStrokes) {
  Canvas canvas(120, 90, 230);
  canvas.fill(20, 15, 60, 40, 40);  // a dark panel with sharp corners
  const GreyImage panels = luminance(canvas.rgb, canvas.width, canvas.height);
  canvas.fill(45, 25, 2, 20, 250);  // a vertical stroke on the panel, beyond the radius from its edges
  canvas.fill(90, 60, 25, 1, 10);   // a horizontal stroke on the page
  canvas.fill(5, 70, 9, 9, 0);      // a blob thinner than the radius
  const GreyImage background = median_background(luminance(canvas.rgb, canvas.width, canvas.height), kBackgroundRadius);
  ASSERT_EQ(background.width, canvas.width);
  ASSERT_EQ(background.height, canvas.height);
  EXPECT_EQ(background.pixels, panels.pixels);
}

TEST(TesseractPicture, InkIsDarkOnWhiteWhateverThePolarity) {
  Canvas canvas(160, 80, 240);
  canvas.fill(80, 0, 80, 80, 30);  // right half: a dark bar
  canvas.fill(10, 20, 40, 1, 20);  // dark stroke on the light half
  canvas.fill(20, 30, 1, 15, 60);  // fainter dark stroke
  canvas.fill(95, 20, 40, 1, 250);  // light stroke on the dark half
  canvas.fill(110, 30, 2, 15, 200);
  const GreyImage ink = ink_image(canvas.rgb, canvas.width, canvas.height);
  const GreyImage plain = luminance(canvas.rgb, canvas.width, canvas.height);
  for (std::uint32_t y = 0; y < canvas.height; ++y) {
    for (std::uint32_t x = 0; x < canvas.width; ++x) {
      const bool stroke = (y == 20 && ((x >= 10 && x < 50) || (x >= 95 && x < 135))) ||
                          (x == 20 && y >= 30 && y < 45) || ((x == 110 || x == 111) && y >= 30 && y < 45);
      if (stroke) {
        // Distance from the background, amplified: at most 255 - 1.3 * 170.
        EXPECT_LE(canvas.at(ink, x, y), 34) << x << "," << y;
      } else {
        // Page, bar and the bar's edge alike: white.
        EXPECT_EQ(canvas.at(ink, x, y), 255) << x << "," << y << " was " << int{canvas.at(plain, x, y)};
      }
    }
  }
}

TEST(TesseractPicture, TextBesideAPanelEdgeLeavesTheEdgeUnmarked) {
  // Light title text on a dark bar whose lower edge lies 6 px below the
  // baseline: glyph-dense rows must not drag the bar's edge towards the text.
  vision_core::RgbImage image = testing::filled_image(220, 70, testing::Rgb{250, 250, 248});
  testing::fill_rect(image, 0, 0, 220, 40, 36, 40, 48);
  testing::TextRenderer font;
  ASSERT_TRUE(font.ready());
  const testing::Ink text = font.draw(image, "Quarterly Report", 10, 34, 14, testing::Rgb{232, 232, 232});
  const GreyImage ink = ink_image(image.pixels, image.width, image.height);
  int marked = 0;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (std::uint32_t x = 0; x < image.width; ++x) {
      const bool near_text = x + 1 >= text.all.left && x <= text.all.right && y + 1 >= text.all.top && y <= text.all.bottom;
      if (!near_text) {
        EXPECT_EQ(ink.pixels[std::size_t{y} * ink.width + x], 255) << x << "," << y;
      }
      if (ink.pixels[std::size_t{y} * ink.width + x] < 100) ++marked;
    }
  }
  EXPECT_GT(marked, 200);  // the glyphs themselves are dark
}

TEST(TesseractPicture, SmallLineCropsKeepAMarginInsideTheImage) {
  EXPECT_EQ(small_line_crop(PixelBox{10, 10, 50, 20}, 100, 40).left, 6);
  const PixelBox inner = small_line_crop(PixelBox{10, 10, 50, 20}, 100, 40);
  EXPECT_EQ((std::vector<std::int64_t>{inner.left, inner.top, inner.right, inner.bottom}),
            (std::vector<std::int64_t>{6, 8, 54, 22}));
  const PixelBox edge = small_line_crop(PixelBox{1, 0, 99, 40}, 100, 40);
  EXPECT_EQ((std::vector<std::int64_t>{edge.left, edge.top, edge.right, edge.bottom}),
            (std::vector<std::int64_t>{0, 0, 100, 40}));
}

TEST(TesseractPicture, EnlargedCropsInterpolateBetweenPixelCentres) {
  GreyImage image{4, 3, {9, 9, 9, 9, 9, 0, 255, 9, 9, 9, 9, 9}};
  const GreyImage row = enlarged_crop(image, PixelBox{1, 1, 3, 2}, 2);
  ASSERT_EQ(row.width, 4u);
  ASSERT_EQ(row.height, 2u);
  EXPECT_EQ(row.pixels, (std::vector<std::uint8_t>{0, 64, 191, 255, 0, 64, 191, 255}));

  const GreyImage whole = enlarged_crop(image, PixelBox{-5, -5, 50, 50}, 3);  // clamped to the image
  EXPECT_EQ(whole.width, 12u);
  EXPECT_EQ(whole.height, 9u);
  EXPECT_EQ(whole.pixels.front(), 9);
  EXPECT_TRUE(enlarged_crop(image, PixelBox{2, 2, 2, 3}, 2).pixels.empty());
  EXPECT_TRUE(enlarged_crop(image, PixelBox{5, 0, 9, 3}, 2).pixels.empty());
}

// ---- Results ----

TEST(TesseractResults, LineTextLosesOnlyTrailingBreaksAndBlanks) {
  EXPECT_EQ(line_text(nullptr), std::nullopt);
  EXPECT_EQ(line_text(""), std::nullopt);
  EXPECT_EQ(line_text(" \n\n"), std::nullopt);
  EXPECT_EQ(line_text("Save changes\n"), "Save changes");
  EXPECT_EQ(line_text(" a  b \t\r\n"), " a  b");
}

TEST(TesseractResults, BoxesComeBackAsThePixelRectanglesTheEngineFound) {
  const struct {
    PixelBox box;
    std::uint32_t width, height;
  } rows[] = {
      {{50, 25, 150, 50}, 200, 100},
      {{761, 13, 1013, 27}, 1920, 1080},
      {{0, 0, 1, 1}, 1, 1},
      {{13, 1062, 357, 1075}, 1920, 1080},
      {{3, 7, 32767, 32767}, 32767, 32767},
  };
  for (const auto& row : rows) {
    const RecognizedLine normalised = normalised_line("t", row.box, row.width, row.height);
    EXPECT_GE(normalised.x, 0.0);
    EXPECT_GE(normalised.y, 0.0);
    EXPECT_LE(normalised.x + normalised.width, 1.0 + 1e-12);
    EXPECT_LE(normalised.y + normalised.height, 1.0 + 1e-12);
    const Json reply = ocr::recognition_reply(std::vector<RecognizedLine>{normalised}, row.width, row.height);
    const Json& rect = reply["lines"][0]["words"][0]["rect"];
    EXPECT_NEAR(rect["x"].get<double>(), static_cast<double>(row.box.left), 1e-9);
    EXPECT_NEAR(rect["y"].get<double>(), static_cast<double>(row.box.top), 1e-9);
    EXPECT_NEAR(rect["width"].get<double>(), static_cast<double>(row.box.right - row.box.left), 1e-9);
    EXPECT_NEAR(rect["height"].get<double>(), static_cast<double>(row.box.bottom - row.box.top), 1e-9);
  }
  EXPECT_EQ(normalised_line(std::nullopt, PixelBox{}, 10, 10).text, std::nullopt);
}

}  // namespace
}  // namespace pelagon2::platform::tess
