#pragma once
// A screenshot-like picture with lines of UI text at 12-16 px (title bar,
// menu, sidebar, document, buttons, status bar; dark on light and light on
// dark), and the text and ink box of every drawn line, for measuring text
// recognition.

#include <cstdint>
#include <string>
#include <vector>

#include "testkit/synthetic_screen.h"
#include "testkit/text_render.h"

namespace pelagon2::testing {

struct DrawnLine {
  std::string text;
  Ink ink;
};

struct TextScreen {
  vision_core::RgbImage image;
  std::vector<DrawnLine> lines;
};

// The picture at width x height (the layout assumes at least 1920 x 1080).
TextScreen ui_text_screen(std::uint32_t width = 1920, std::uint32_t height = 1080);

}  // namespace pelagon2::testing
