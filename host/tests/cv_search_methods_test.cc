// search_image and search_relative through the host's method table: parameter
// order, messages and replies on supplied images.

#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_platform.h"
#include "main/request_handler.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2 {
namespace {

using testing::crop;
using testing::noise_image;
using testing::raw_param;

constexpr const char* kGreenPink =
    "green_pink_not_supported: pelagon2 dropped the green/pink anchor-box system; use the explicit "
    "anchor+offset relative search (or the legacy Pelagon for old macros)";

std::string error_of(const char* method, const Json& params) {
  testing::FakePlatform platform;
  Outcome outcome = dispatch_method(method, params, platform);
  return outcome.ok() ? "(ok) " + to_json_text(outcome.value()) : outcome.error();
}

class SearchMethodsTest : public ::testing::Test {
 protected:
  vision_core::RgbImage haystack_ = noise_image(80, 60, 4);
  Json image_ = raw_param(haystack_);
  Json pattern_ = raw_param(crop(haystack_, 30, 20, 10, 8));
  Json offset_ = Json{{"x", 12}, {"y", -4}, {"width", 6}, {"height", 3}};
  testing::FakePlatform platform_;
};

TEST_F(SearchMethodsTest, SearchImageReportsTheFirstFailingParameter) {
  const Json green = Json{{"enableGreenPinkBoxes", true}};
  const Json outside = Json::parse(R"({"limitSearchArea":true,"searchArea":{"x":80,"y":0,"width":5,"height":5}})");
  struct Case {
    const char* name;
    Json params;
    std::string error;
  };
  const Case cases[] = {
      {"no params", Json(), "bad_params: missing 'image'"},
      {"empty", Json::object(), "bad_params: missing 'image'"},
      {"options first", Json{{"options", green}}, kGreenPink},
      {"image before pattern", Json{{"pattern", pattern_}}, "bad_params: missing 'image'"},
      {"bad image before missing pattern", Json{{"image", "AAAA"}}, "bad_params: missing 'image.data'"},
      {"null image", Json{{"image", nullptr}, {"pattern", pattern_}}, "bad_params: missing 'image.data'"},
      {"missing pattern", Json{{"image", image_}}, "bad_params: missing 'pattern'"},
      {"bad pattern", Json{{"image", image_}, {"pattern", Json{{"data", 5}}}}, "bad_params: missing 'pattern.data'"},
      {"area outside", Json{{"image", image_}, {"pattern", pattern_}, {"options", outside}},
       "bad_params: searchArea 5x5 at (80,0) lies fully outside the 80x60 image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_of("search_image", c.params), c.error);
  }
}

TEST_F(SearchMethodsTest, SearchImageFindsThePatternInImagePixels) {
  Outcome outcome = dispatch_method("search_image", Json{{"image", image_}, {"pattern", pattern_}}, platform_);
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ(to_json_text(*outcome), R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[)"
                                    R"({"matchedRect":{"height":8,"width":10,"x":30,"y":20},"order":0,"score":1.0}]})");

  // Nothing above the threshold is an empty answer, not an error.
  Outcome none = dispatch_method(
      "search_image", Json{{"image", image_}, {"pattern", raw_param(noise_image(10, 8, 99))}, {"options", Json::object()}}, platform_);
  ASSERT_TRUE(none.ok()) << none.error();
  EXPECT_EQ(to_json_text(*none), R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[]})");
}

TEST_F(SearchMethodsTest, SearchRelativeReportsTheFirstFailingParameter) {
  const Json green = Json{{"requireGreenPinkBoxes", true}};
  struct Case {
    const char* name;
    Json params;
    std::string error;
  };
  const Case cases[] = {
      {"no params", Json(), "bad_params: missing 'offset'"},
      {"offset before options", Json{{"options", green}, {"pattern", pattern_}}, "bad_params: missing 'offset'"},
      {"offset before pattern", Json{{"offset", Json{{"x", 1}}}}, "bad_params: missing numeric 'offset.y'"},
      {"positive size before options", Json{{"offset", Json{{"x", 1}, {"y", 1}, {"width", 0}, {"height", 1}}},
                                            {"options", green}},
       "bad_params: offset.width/height must be positive"},
      {"options before pattern", Json{{"offset", offset_}, {"options", green}}, kGreenPink},
      {"missing pattern", Json{{"offset", offset_}, {"image", image_}}, "bad_params: missing 'pattern'"},
      {"pattern before image", Json{{"offset", offset_}, {"pattern", "x"}, {"image", nullptr}},
       "bad_params: missing 'pattern.data'"},
      {"null image is not the screen", Json{{"offset", offset_}, {"pattern", pattern_}, {"image", nullptr}},
       "bad_params: missing 'image.data'"},
      {"no image means the screen", Json{{"offset", offset_}, {"pattern", pattern_}}, "capture_failed: no monitors"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_of("search_relative", c.params), c.error);
  }
}

TEST_F(SearchMethodsTest, SearchRelativeMapsRegionsInImagePixels) {
  Outcome outcome =
      dispatch_method("search_relative", Json{{"offset", offset_}, {"pattern", pattern_}, {"image", image_}}, platform_);
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ(to_json_text(*outcome),
            R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[)"
            R"({"anchorRect":{"height":8,"width":10,"x":30,"y":20},)"
            R"("matchedRect":{"height":3.0,"width":6.0,"x":42.0,"y":16.0},"order":0,"score":1.0}]})");
}

}  // namespace
}  // namespace pelagon2
