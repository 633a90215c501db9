// Image parameters: the input is the decoded data, base64-encoded here so the
// fuzzer explores PNG space. Every outcome is either a well-formed image with
// a finite, non-negative DPI or an error with one of the two code words; get_image_info
// agrees with the decoder about the image size.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "core/base64.h"
#include "cv/image_input.h"
#include "cv/png_input.h"

namespace {

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

void check(const pelagon2::Json& param) {
  const auto decoded = pelagon2::cv::decode_image_param(param, "image");
  if (decoded.ok()) {
    const auto& image = decoded->image;
    if (image.width == 0 || image.height == 0) std::abort();
    if (image.pixels.size() != std::size_t{image.width} * image.height * 3) std::abort();
    // A stated density below 20 pixels per metre rounds to 0 DPI.
    if (!(decoded->dpi >= 0) || !std::isfinite(decoded->dpi)) std::abort();
  } else if (!starts_with(decoded.error(), "bad_params: ") && !starts_with(decoded.error(), "bad_image: ")) {
    std::abort();
  }
}

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const std::string text = pelagon2::base64_encode(bytes);

  // Images the decoder accepts but that take long to fill are only probed
  // through their header; everything else is decoded.
  const std::uint64_t announced = size >= 24 ? std::uint64_t{be32(data + 16)} * be32(data + 20) : 0;
  const bool slow = announced > (std::uint64_t{1} << 22) && announced <= pelagon2::cv::kMaxDecodePixels;
  if (!slow) check(pelagon2::Json{{"data", text}});

  // The same bytes as raw pixels when their length allows it.
  if (size > 0 && size % 3 == 0) {
    check(pelagon2::Json{{"data", text}, {"width", std::uint64_t{size / 3}}, {"height", std::uint64_t{1}}});
  }

  const auto info = pelagon2::cv::get_image_info(pelagon2::Json{{"content", text}});
  if (info.ok()) {
    if (info->size() != 7 || (*info)["format"] != 1) std::abort();
    const auto header = pelagon2::cv::read_png_header(bytes);
    if (!header.ok() || (*info)["width"] != header->width || (*info)["height"] != header->height) std::abort();
  } else if (!starts_with(info.error(), "bad_image: not a decodable PNG: ")) {
    std::abort();
  }
  return 0;
}
