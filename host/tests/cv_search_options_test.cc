// Reading the options of a search request and the area it selects.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "cv/search_options.h"
#include "cv/search_pattern.h"

namespace pelagon2::cv {
namespace {

constexpr const char* kGreenPink =
    "green_pink_not_supported: pelagon2 dropped the green/pink anchor-box system; use the explicit "
    "anchor+offset relative search (or the legacy Pelagon for old macros)";

Json parse_json(const char* text) { return Json::parse(text); }

TEST(SearchOptionsTest, ValuesAndDefaultsByJsonType) {
  struct Case {
    const char* params;
    float min_similarity;
    bool allow_size_variation;
  };
  const Case cases[] = {
      {"null", 0.8f, false},
      {"[]", 0.8f, false},
      {"{}", 0.8f, false},
      {R"({"options":"x"})", 0.8f, false},
      {R"({"options":[1]})", 0.8f, false},
      {R"({"options":{}})", 0.8f, false},
      {R"({"options":{"minSimilarity":1}})", 1.0f, false},
      {R"({"options":{"minSimilarity":-2}})", -2.0f, false},
      {R"({"options":{"minSimilarity":0.9}})", 0.9f, false},
      {R"({"options":{"minSimilarity":1.5}})", 1.5f, false},  // not clamped
      {R"({"options":{"minSimilarity":"0.5"}})", 0.8f, false},
      {R"({"options":{"minSimilarity":null}})", 0.8f, false},
      {R"({"options":{"allowSizeVariation":true}})", 0.8f, true},
      {R"({"options":{"allowSizeVariation":"true"}})", 0.8f, false},
      {R"({"options":{"allowSizeVariation":1}})", 0.8f, false},
      {R"({"options":{"allowSizeVariation":false,"minSimilarity":0}})", 0.0f, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    Expected<SearchOptions> parsed = parse_search_options(parse_json(c.params));
    ASSERT_TRUE(parsed.ok()) << parsed.error();
    EXPECT_EQ(parsed->min_similarity, c.min_similarity);
    EXPECT_EQ(parsed->allow_size_variation, c.allow_size_variation);
    EXPECT_EQ(parsed->max_results, 16u);
    EXPECT_EQ(parsed->scale, 1.0f);
    EXPECT_TRUE(parsed->options.is_object());
  }
}

TEST(SearchOptionsTest, KeepsTheOptionsObjectForLaterReaders) {
  const Json params = parse_json(R"({"options":{"enableHighDpi":true,"searchArea":{"x":1},"extra":[1,2]}})");
  Expected<SearchOptions> parsed = parse_search_options(params);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->options, params["options"]);
}

TEST(SearchOptionsTest, RejectsOnlyTrueGreenPinkOptions) {
  struct Case {
    const char* options;
    bool rejected;
  };
  const Case cases[] = {
      {R"({"enableGreenPinkBoxes":true})", true},
      {R"({"requireGreenPinkBoxes":true})", true},
      {R"({"enableGreenPinkBoxes":false,"requireGreenPinkBoxes":true})", true},
      {R"({"enableGreenPinkBoxes":false})", false},
      {R"({"requireGreenPinkBoxes":false})", false},
      {R"({"enableGreenPinkBoxes":"true"})", false},
      {R"({"requireGreenPinkBoxes":1})", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Expected<SearchOptions> parsed = parse_search_options(Json{{"options", parse_json(c.options)}});
    EXPECT_EQ(!parsed.ok(), c.rejected);
    if (!parsed.ok()) {
      EXPECT_EQ(parsed.error(), kGreenPink);
    }
  }
}

struct AreaCase {
  const char* options;
  std::uint32_t image_width, image_height;
  screen::PixelWindow expected;
  const char* error;  // nullptr when an area is expected
};

TEST(SearchAreaTest, ClipsToTheImageOrExplainsWhy) {
  const AreaCase cases[] = {
      {R"({})", 100, 80, {0, 0, 100, 80}, nullptr},
      {R"({"searchArea":{"x":10,"y":10,"width":5,"height":5}})", 100, 80, {0, 0, 100, 80}, nullptr},
      {R"({"limitSearchArea":false,"searchArea":{"x":10,"y":10,"width":5,"height":5}})", 100, 80,
       {0, 0, 100, 80}, nullptr},
      {R"({"limitSearchArea":"true","searchArea":{"x":10,"y":10,"width":5,"height":5}})", 100, 80,
       {0, 0, 100, 80}, nullptr},
      {R"({"limitSearchArea":true,"searchArea":{"x":10,"y":20,"width":30,"height":40}})", 100, 80,
       {10, 20, 40, 60}, nullptr},
      // Starting left of the image keeps the right edge at x + width.
      {R"({"limitSearchArea":true,"searchArea":{"x":-10,"y":0,"width":50,"height":20}})", 100, 100,
       {0, 0, 40, 20}, nullptr},
      {R"({"limitSearchArea":true,"searchArea":{"x":90,"y":70,"width":50,"height":50}})", 100, 80,
       {90, 70, 100, 80}, nullptr},
      // Halves round away from zero.
      {R"({"limitSearchArea":true,"searchArea":{"x":10.5,"y":0,"width":20,"height":20}})", 100, 80,
       {11, 0, 31, 20}, nullptr},
      {R"({"limitSearchArea":true,"searchArea":{"x":-10.5,"y":0,"width":20,"height":20}})", 100, 80,
       {0, 0, 9, 20}, nullptr},
      {R"({"limitSearchArea":true,"searchArea":{"x":0,"y":0,"width":20.5,"height":9.4}})", 100, 80,
       {0, 0, 21, 9}, nullptr},
      // Missing or non-numeric members count as 0.
      {R"({"limitSearchArea":true,"searchArea":{"x":"5","width":30,"height":30}})", 100, 80, {0, 0, 30, 30},
       nullptr},
      {R"({"limitSearchArea":true})", 100, 80, {}, "bad_params: limitSearchArea set but no searchArea"},
      {R"({"limitSearchArea":true,"searchArea":{"x":150,"y":10,"width":20,"height":20}})", 100, 80, {},
       "bad_params: searchArea 20x20 at (150,10) lies fully outside the 100x80 image"},
      {R"({"limitSearchArea":true,"searchArea":{"x":10,"y":10,"width":0,"height":20}})", 100, 80, {},
       "bad_params: searchArea 0x20 at (10,10) lies fully outside the 100x80 image"},
      {R"({"limitSearchArea":true,"searchArea":{"x":-30,"y":0,"width":30,"height":20}})", 100, 80, {},
       "bad_params: searchArea 30x20 at (-30,0) lies fully outside the 100x80 image"},
      {R"({"limitSearchArea":true,"searchArea":{"x":-10.5,"y":2.5,"width":-3,"height":4}})", 100, 80, {},
       "bad_params: searchArea -3x4 at (-11,3) lies fully outside the 100x80 image"},
      {R"({"limitSearchArea":true,"searchArea":null})", 100, 80, {},
       "bad_params: searchArea 0x0 at (0,0) lies fully outside the 100x80 image"},
      {R"({"limitSearchArea":true,"searchArea":[10,10,5,5]})", 100, 80, {},
       "bad_params: searchArea 0x0 at (0,0) lies fully outside the 100x80 image"},
      // Huge values saturate instead of wrapping into the image.
      {R"({"limitSearchArea":true,"searchArea":{"x":1e300,"y":0,"width":1e300,"height":10}})", 100, 80, {},
       "bad_params: searchArea 9223372036854775807x10 at (9223372036854775807,0) lies fully outside the 100x80 "
       "image"},
      {R"({"limitSearchArea":true,"searchArea":{"x":18446744073709551615,"y":0,"width":5,"height":10}})", 100, 80,
       {}, "bad_params: searchArea 5x10 at (9223372036854775807,0) lies fully outside the 100x80 image"},
      {R"({"limitSearchArea":true,"searchArea":{"x":-9223372036854775808,"y":0,"width":9223372036854775807,
           "height":10}})",
       100, 80, {}, "bad_params: searchArea 9223372036854775807x10 at (-9223372036854775808,0) lies fully outside "
                    "the 100x80 image"},
  };
  for (const AreaCase& c : cases) {
    SCOPED_TRACE(c.options);
    Expected<screen::PixelWindow> area = resolve_search_area(parse_json(c.options), c.image_width, c.image_height);
    if (c.error != nullptr) {
      ASSERT_FALSE(area.ok());
      EXPECT_EQ(area.error(), c.error);
      continue;
    }
    ASSERT_TRUE(area.ok()) << area.error();
    EXPECT_EQ(area->left, c.expected.left);
    EXPECT_EQ(area->top, c.expected.top);
    EXPECT_EQ(area->right, c.expected.right);
    EXPECT_EQ(area->bottom, c.expected.bottom);
  }
}

TEST(SearchScalesTest, BaseScaleFirstThenTheVariations) {
  EXPECT_EQ(search_scales(1.0f, false), std::vector<float>{1.0f});
  EXPECT_EQ(search_scales(2.0f, false), std::vector<float>{2.0f});
  EXPECT_EQ(search_scales(1.0f, true), (std::vector<float>{1.0f, 0.9f, 0.95f, 1.05f, 1.1f}));
  const std::vector<float> doubled = search_scales(2.0f, true);
  ASSERT_EQ(doubled.size(), 5u);
  const float expected[] = {2.0f, 1.8f, 1.9f, 2.1f, 2.2f};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_FLOAT_EQ(doubled[i], expected[i]) << i;
}

}  // namespace
}  // namespace pelagon2::cv
