#pragma once
// The demo's pictures: captures read back, pieces written out, and the
// annotated capture, which outlines what the session found.

#include <optional>
#include <string>
#include <vector>

#include "tools/demo/demo_logic.h"
#include "vision_core/image.h"

namespace pelagon2::demo {

std::optional<std::string> read_file(const std::string& path);
// An 8-bit RGB picture from the PNG file at `path`, or nullopt.
std::optional<vision_core::RgbImage> read_png(const std::string& path);
bool write_png(const vision_core::RgbImage& image, const std::string& path, double dpi);

// Writes `picture` (a capture whose top-left is `origin` in screen pixels) to
// `path` with the recognised `lines` outlined in orange, the search's `match`
// in magenta and the `click` as a red cross, all in screen pixels.
bool write_annotated(vision_core::RgbImage picture, const Point& origin, const std::vector<Rect>& lines,
                     const std::optional<Rect>& match, const std::optional<Point>& click, const std::string& path,
                     double dpi);

}  // namespace pelagon2::demo
