#pragma once
// Text drawn into RGB images with FreeType and a Debian font, for the text
// recognition tests and benchmark: each drawn line reports the box its ink
// covers, so a recognizer's rectangles can be checked against it.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vision_core/image.h"

// FreeType's handle types, so users of the renderer need not include its headers.
struct FT_LibraryRec_;
struct FT_FaceRec_;

namespace pelagon2::testing {

inline constexpr const char* kDejaVuSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
};

// Pixels that received ink: [left, right) x [top, bottom).
struct InkBox {
  std::int64_t left = INT64_MAX, top = INT64_MAX, right = INT64_MIN, bottom = INT64_MIN;
  bool empty() const { return right <= left || bottom <= top; }
  void add(std::int64_t x, std::int64_t y) {
    left = std::min(left, x);
    top = std::min(top, y);
    right = std::max(right, x + 1);
    bottom = std::max(bottom, y + 1);
  }
};

// What one call of draw() inked: every touched pixel, and the pixels at
// least half covered (the ones any reader sees as part of the glyphs).
struct Ink {
  InkBox all;
  InkBox solid;
};

// One FreeType face at one pixel size. Not copyable: it owns the library.
class TextRenderer {
 public:
  explicit TextRenderer(const char* font_path = kDejaVuSans);
  ~TextRenderer();
  TextRenderer(const TextRenderer&) = delete;
  TextRenderer& operator=(const TextRenderer&) = delete;

  bool ready() const { return face_ != nullptr; }

  // Draws ASCII `text` with its baseline at `baseline`, starting at `x`, with
  // the font's em at `pixel_size` pixels, blending `ink` over what is there.
  // Returns the boxes of the pixels it inked.
  Ink draw(vision_core::RgbImage& image, const std::string& text, std::int64_t x, std::int64_t baseline,
           std::uint32_t pixel_size, Rgb ink);

  // Advance width of `text` in whole pixels.
  std::int64_t width(const std::string& text, std::uint32_t pixel_size);

 private:
  FT_LibraryRec_* library_ = nullptr;
  FT_FaceRec_* face_ = nullptr;
};

// A width x height image of one colour.
vision_core::RgbImage filled_image(std::uint32_t width, std::uint32_t height, Rgb paper);

}  // namespace pelagon2::testing
