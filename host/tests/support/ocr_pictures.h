#pragma once
// Lines of text drawn for the recognition tests, and checks of a recognizer's
// rectangles against the ink each line left.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json.h"
#include "testkit/synthetic_screen.h"
#include "testkit/text_render.h"

namespace pelagon2::testing {

struct TextPicture {
  vision_core::RgbImage image;
  std::vector<std::string> texts;
  std::vector<Ink> inks;
  std::string joined() const {
    std::string out;
    for (const std::string& t : texts) out += (out.empty() ? "" : "\n") + t;
    return out;
  }
};

// `texts` one under the other at `size` px on `paper`, 24 px from the edges.
inline TextPicture text_picture(const std::vector<std::string>& texts, std::uint32_t size, Rgb paper, Rgb ink) {
  TextRenderer font;
  EXPECT_TRUE(font.ready()) << "font " << kDejaVuSans;
  std::int64_t widest = 0;
  for (const std::string& t : texts) widest = std::max(widest, font.width(t, size));
  const std::uint32_t pitch = size * 2;
  TextPicture picture;
  picture.image = filled_image(static_cast<std::uint32_t>(widest) + 48, pitch * static_cast<std::uint32_t>(texts.size()) + 40, paper);
  std::int64_t baseline = 20 + size;
  for (const std::string& t : texts) {
    picture.texts.push_back(t);
    picture.inks.push_back(font.draw(picture.image, t, 24, baseline, size, ink));
    baseline += pitch;
  }
  return picture;
}

// A reply rectangle lies around a drawn line: it holds every pixel the glyphs
// cover at least half, and reaches no further than 2 px beyond any ink.
inline void expect_around(const Json& rect, const Ink& ink, const std::string& what) {
  const double x = rect.at("x").get<double>(), y = rect.at("y").get<double>();
  const double right = x + rect.at("width").get<double>(), bottom = y + rect.at("height").get<double>();
  constexpr double kSlack = 1e-6;
  EXPECT_LE(x, static_cast<double>(ink.solid.left) + kSlack) << what;
  EXPECT_LE(y, static_cast<double>(ink.solid.top) + kSlack) << what;
  EXPECT_GE(right, static_cast<double>(ink.solid.right) - kSlack) << what;
  EXPECT_GE(bottom, static_cast<double>(ink.solid.bottom) - kSlack) << what;
  EXPECT_GE(x, static_cast<double>(ink.all.left - 2)) << what;
  EXPECT_GE(y, static_cast<double>(ink.all.top - 2)) << what;
  EXPECT_LE(right, static_cast<double>(ink.all.right + 2)) << what;
  EXPECT_LE(bottom, static_cast<double>(ink.all.bottom + 2)) << what;
}

}  // namespace pelagon2::testing
