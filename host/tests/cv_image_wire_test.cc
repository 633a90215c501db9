#include <gtest/gtest.h>

#include <string>

#include "core/base64.h"
#include "support/host_process.h"
#include "support/png_fixtures.h"

namespace pelagon2::testing {
namespace {

std::string png_base64(int color_type, int depth, bool phys, std::uint32_t ppm_x, std::uint32_t ppm_y) {
  PngPicture p;
  p.width = 3;
  p.height = 2;
  p.color_type = color_type;
  p.bit_depth = depth;
  p.samples.assign(3 * 2 * static_cast<std::size_t>(channels_of(color_type)), 1);
  if (color_type == PNG_COLOR_TYPE_PALETTE) p.palette = {png_color{1, 2, 3}, png_color{4, 5, 6}};
  p.phys = phys;
  p.phys_x = ppm_x;
  p.phys_y = ppm_y;
  return base64_encode(encode_png(p));
}

std::string request_text(const std::string& params) {
  return R"({"id":1,"method":"get_image_info","params":)" + params + "}";
}

TEST(ImageInfoWire, RepliesInWireForm) {
  HostProcess host({"HOME=/tmp"});
  const struct {
    std::string params;
    std::string reply;
  } rows[] = {
      {R"({"content":")" + png_base64(PNG_COLOR_TYPE_RGB, 8, false, 0, 0) + R"("})",
       R"({"id":1,"result":{"bitDepth":24,"color":4,"dpiX":0.0,"dpiY":0.0,"format":1,"height":2,"width":3}})"},
      {R"({"content":")" + png_base64(PNG_COLOR_TYPE_RGB_ALPHA, 16, true, 5669, 3780) + R"("})",
       R"({"id":1,"result":{"bitDepth":64,"color":5,"dpiX":144.0,"dpiY":96.0,"format":1,"height":2,"width":3}})"},
      {R"({"content":")" + png_base64(PNG_COLOR_TYPE_PALETTE, 1, true, 0, 2835) + R"("})",
       R"({"id":1,"result":{"bitDepth":1,"color":1,"dpiX":0.0,"dpiY":72.0,"format":1,"height":2,"width":3}})"},
      {R"({"content":1})", R"({"error":{"message":"bad_params: missing 'content'"},"id":1})"},
      {R"(["content"])", R"({"error":{"message":"bad_params: missing 'content'"},"id":1})"},
      {R"({"content":"AAAA="})",
       R"({"error":{"message":"bad_params: base64 decode failed: Invalid symbol 61, offset 4."},"id":1})"},
      {R"({"content":"/9j/4AAQSkZJRgABAQAAAQABAAD/"})",
       R"({"error":{"message":"bad_image: not a decodable PNG: Not a PNG file"},"id":1})"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.params.substr(0, 80));
    ASSERT_TRUE(host.send_frame(request_text(r.params))) << host.last_error();
    const std::optional<std::string> reply = host.read_frame();
    ASSERT_TRUE(reply.has_value()) << host.last_error();
    EXPECT_EQ(*reply, r.reply);
  }
  host.close_input();
  EXPECT_EQ(host.wait_exit(), 0);
}

}  // namespace
}  // namespace pelagon2::testing
