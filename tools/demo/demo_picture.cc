#include "tools/demo/demo_picture.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <span>

#include "cv/png_input.h"
#include "cv/png_output.h"

namespace pelagon2::demo {

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<vision_core::RgbImage> read_png(const std::string& path) {
  const std::optional<std::string> bytes = read_file(path);
  if (!bytes) return std::nullopt;
  auto decoded = pelagon2::cv::decode_png_rgb(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()));
  if (!decoded) return std::nullopt;
  return std::move(decoded).value();
}

bool write_png(const vision_core::RgbImage& image, const std::string& path, double dpi) {
  return pelagon2::cv::write_png_file(image.pixels, image.width, image.height, pelagon2::cv::PngColor::rgb, dpi, path)
      .ok();
}

// The client draws what was found; the host only reported it. Outlines sit
// just outside what they mark, so they hide none of it.
bool write_annotated(vision_core::RgbImage picture, const Point& origin, const std::vector<Rect>& lines,
                     const std::optional<Rect>& match, const std::optional<Point>& click, const std::string& path,
                     double dpi) {
  const auto around = [](const Rect& r, std::int64_t by) {
    return Rect{r.x - by, r.y - by, r.width + 2 * by, r.height + 2 * by};
  };
  for (const Rect& r : lines) pelagon2::demo::draw_outline(picture, around(r, 3), {255, 140, 0}, 2);
  if (match) {
    const Rect& m = *match;
    pelagon2::demo::draw_outline(picture, around(Rect{m.x - origin.x, m.y - origin.y, m.width, m.height}, 3),
                                 {255, 0, 255}, 3);
  }
  if (click) {
    const std::int64_t cx = click->x - origin.x, cy = click->y - origin.y;
    pelagon2::demo::draw_outline(picture, Rect{cx - 9, cy - 1, 19, 3}, {230, 0, 0}, 2);
    pelagon2::demo::draw_outline(picture, Rect{cx - 1, cy - 9, 3, 19}, {230, 0, 0}, 2);
  }
  return write_png(picture, path, dpi);
}

}  // namespace pelagon2::demo
