// Relative search: the offset check and the regions mapped from anchors.

#include <gtest/gtest.h>

#include <vector>

#include "cv/relative_search.h"

namespace pelagon2::cv {
namespace {

TEST(ParseOffsetTest, MessagesInParameterOrder) {
  struct Case {
    const char* params;
    const char* error;
  };
  const Case cases[] = {
      {"null", "bad_params: missing 'offset'"},
      {"[1,2]", "bad_params: missing 'offset'"},
      {"{}", "bad_params: missing 'offset'"},
      {R"({"offSet":{"x":1,"y":1,"width":1,"height":1}})", "bad_params: missing 'offset'"},
      {R"({"offset":null})", "bad_params: missing numeric 'offset.x'"},
      {R"({"offset":"10,5,20,20"})", "bad_params: missing numeric 'offset.x'"},
      {R"({"offset":[10,5,20,20]})", "bad_params: missing numeric 'offset.x'"},
      {R"({"offset":{"y":5,"width":20,"height":20}})", "bad_params: missing numeric 'offset.x'"},
      {R"({"offset":{"x":10,"y":"5","width":20,"height":20}})", "bad_params: missing numeric 'offset.y'"},
      {R"({"offset":{"x":10,"y":5,"width":true,"height":20}})", "bad_params: missing numeric 'offset.width'"},
      {R"({"offset":{"x":10,"y":5,"width":20}})", "bad_params: missing numeric 'offset.height'"},
      // Missing members are reported before the positivity check.
      {R"({"offset":{"x":10,"y":5,"width":0}})", "bad_params: missing numeric 'offset.height'"},
      {R"({"offset":{"x":10,"y":5,"width":0,"height":20}})", "bad_params: offset.width/height must be positive"},
      {R"({"offset":{"x":10,"y":5,"width":20,"height":-1}})", "bad_params: offset.width/height must be positive"},
      {R"({"offset":{"x":10,"y":5,"width":-0.0,"height":3}})", "bad_params: offset.width/height must be positive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    Expected<OffsetRect> offset = parse_offset(Json::parse(c.params));
    ASSERT_FALSE(offset.ok());
    EXPECT_EQ(offset.error(), c.error);
  }
}

TEST(ParseOffsetTest, AcceptsEveryNumberKindAndNegativePositions) {
  Expected<OffsetRect> offset =
      parse_offset(Json::parse(R"({"offset":{"x":-30,"y":18446744073709551615,"width":0.25,"height":10}})"));
  ASSERT_TRUE(offset.ok()) << offset.error();
  EXPECT_EQ(offset->x, -30.0);
  EXPECT_EQ(offset->y, 18446744073709551615.0);
  EXPECT_EQ(offset->width, 0.25);
  EXPECT_EQ(offset->height, 10.0);
}

vision_core::MatchRecord anchor(std::int32_t x, std::int32_t y, float score, float scale) {
  return vision_core::MatchRecord{x, y, 40, 30, score, scale};
}

TEST(RelativeRegionsTest, MapsTheOffsetAtTheAnchorsScale) {
  struct Case {
    const char* name;
    vision_core::MatchRecord anchor;
    OffsetRect offset;
    const char* region;
  };
  const Case cases[] = {
      {"scale 1", anchor(100, 200, 1.0f, 1.0f), {50, -10, 80, 20},
       R"({"anchorRect":{"height":30,"width":40,"x":100,"y":200},)"
       R"("matchedRect":{"height":20.0,"width":80.0,"x":150.0,"y":190.0},"order":0,"score":1.0})"},
      {"scale 1.1", anchor(100, 200, 1.0f, 1.1f), {50, -10, 80, 20},
       R"({"anchorRect":{"height":30,"width":40,"x":100,"y":200},)"
       R"("matchedRect":{"height":22.0,"width":88.0,"x":155.0,"y":189.0},"order":0,"score":1.0})"},
      {"half up", anchor(100, 0, 0.5f, 1.0f), {0.5, 0, 1, 1},
       R"({"anchorRect":{"height":30,"width":40,"x":100,"y":0},)"
       R"("matchedRect":{"height":1.0,"width":1.0,"x":101.0,"y":0.0},"order":0,"score":0.5})"},
      {"half down", anchor(100, 0, 0.5f, 1.0f), {-0.5, -0.5, 2.5, 0.5},
       R"({"anchorRect":{"height":30,"width":40,"x":100,"y":0},)"
       R"("matchedRect":{"height":1.0,"width":3.0,"x":100.0,"y":-1.0},"order":0,"score":0.5})"},
      {"left of a negative anchor", anchor(-2780, 50, 0.875f, 1.0f), {-30, 0, 25, 10},
       R"({"anchorRect":{"height":30,"width":40,"x":-2780,"y":50},)"
       R"("matchedRect":{"height":10.0,"width":25.0,"x":-2810.0,"y":50.0},"order":0,"score":0.875})"},
      {"not finite", anchor(0, 0, 0.5f, 2.0f), {0, 0, 1e308, 1},
       R"({"anchorRect":{"height":30,"width":40,"x":0,"y":0},)"
       R"("matchedRect":{"height":2.0,"width":null,"x":0.0,"y":0.0},"order":0,"score":0.5})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Json regions = build_relative_regions({c.anchor}, c.offset);
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(to_json_text(regions[0]), c.region);
  }
}

TEST(RelativeRegionsTest, BestFirstWithReadingOrderAndReplyShape) {
  // The better anchor lies lower on the screen.
  const std::vector<vision_core::MatchRecord> anchors = {anchor(10, 300, 0.99f, 1.0f), anchor(500, 20, 0.9f, 1.0f)};
  const Json reply = build_relative_reply(anchors, OffsetRect{0, 0, 5, 5});
  EXPECT_EQ(to_json_text(reply),
            R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[)"
            R"({"anchorRect":{"height":30,"width":40,"x":10,"y":300},)"
            R"("matchedRect":{"height":5.0,"width":5.0,"x":10.0,"y":300.0},"order":1,"score":0.9900000095367432},)"
            R"({"anchorRect":{"height":30,"width":40,"x":500,"y":20},)"
            R"("matchedRect":{"height":5.0,"width":5.0,"x":500.0,"y":20.0},"order":0,"score":0.8999999761581421}]})");
  EXPECT_EQ(to_json_text(build_relative_reply({}, OffsetRect{0, 0, 5, 5})),
            R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[]})");
}

}  // namespace
}  // namespace pelagon2::cv
