// Image search over the wire: the real host binary, base64 PNG parameters.

#include <gtest/gtest.h>

#include <string>

#include "support/host_process.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2 {
namespace {

using testing::busiest_window;
using testing::crop;
using testing::png_param;
using testing::synthetic_screen;

TEST(SearchWireTest, FindsAPatternCutFromAScreenSizedPngAtItsExactPosition) {
  const vision_core::RgbImage screen = synthetic_screen(2880, 1800, 42);
  const auto [x, y] = busiest_window(screen, 64);
  const Json params{{"image", png_param(screen, 192.0)}, {"pattern", png_param(crop(screen, x, y, 64, 64))}};

  testing::HostProcess host;
  const Json reply = host.request("search_image", params, 7);
  ASSERT_TRUE(reply.contains("result")) << to_json_text(reply);
  const Json& regions = reply["result"]["regions"];
  ASSERT_FALSE(regions.empty()) << to_json_text(reply);
  EXPECT_LE(regions.size(), 16u);
  EXPECT_EQ(to_json_text(regions[0]["matchedRect"]), "{\"height\":64,\"width\":64,\"x\":" + std::to_string(x) +
                                                         ",\"y\":" + std::to_string(y) + "}");
  EXPECT_EQ(to_json_text(regions[0]["score"]), "1.0");
  EXPECT_EQ(reply["id"], 7);
  EXPECT_EQ(reply["result"]["errorCode"], 0);
  EXPECT_EQ(reply["result"]["containsGreenPinkBoxes"], false);
  EXPECT_FALSE(reply["result"].contains("capturePath"));
}

TEST(SearchWireTest, RelativeSearchAndErrorsTravelInTheEnvelope) {
  const vision_core::RgbImage screen = synthetic_screen(640, 400, 5);
  const auto [x, y] = busiest_window(screen, 32);
  testing::HostProcess host;

  const Json reply = host.request(
      "search_relative",
      Json{{"offset", Json{{"x", 40}, {"y", 2.5}, {"width", 100}, {"height", 20}}},
           {"pattern", png_param(crop(screen, x, y, 32, 32))},
           {"image", png_param(screen)},
           {"options", Json{{"limitSearchArea", true},
                            {"searchArea", Json{{"x", x - 5}, {"y", y - 5}, {"width", 50}, {"height", 50}}}}}});
  EXPECT_EQ(to_json_text(reply),
            "{\"id\":1,\"result\":{\"containsGreenPinkBoxes\":false,\"errorCode\":0,\"regions\":[{\"anchorRect\":"
            "{\"height\":32,\"width\":32,\"x\":" +
                std::to_string(x) + ",\"y\":" + std::to_string(y) +
                "},\"matchedRect\":{\"height\":20.0,\"width\":100.0,\"x\":" + std::to_string(x + 40) +
                ".0,\"y\":" + std::to_string(y + 3) + ".0},\"order\":0,\"score\":1.0}]}}");

  EXPECT_EQ(to_json_text(host.request("search_image", Json{{"pattern", png_param(screen)}}, 8)),
            R"({"error":{"message":"bad_params: missing 'image'"},"id":8})");
  EXPECT_EQ(to_json_text(host.request("search_relative", Json{{"offset", 3}}, 9)),
            R"({"error":{"message":"bad_params: missing numeric 'offset.x'"},"id":9})");
}

}  // namespace
}  // namespace pelagon2
