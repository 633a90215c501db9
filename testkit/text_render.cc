#include "testkit/text_render.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstddef>

namespace pelagon2::testing {

namespace {

void blend(vision_core::RgbImage& image, const FT_Bitmap& bitmap, std::int64_t left, std::int64_t top, Rgb ink,
           Ink& box) {
  for (unsigned row = 0; row < bitmap.rows; ++row) {
    const std::int64_t y = top + row;
    if (y < 0 || y >= image.height) continue;
    for (unsigned col = 0; col < bitmap.width; ++col) {
      const std::int64_t x = left + col;
      if (x < 0 || x >= image.width) continue;
      const unsigned coverage = bitmap.buffer[static_cast<std::ptrdiff_t>(row) * bitmap.pitch + col];
      if (coverage == 0) continue;
      std::uint8_t* p = &image.pixels[(static_cast<std::size_t>(y) * image.width + static_cast<std::size_t>(x)) * 3];
      const std::uint8_t channel[3] = {ink.r, ink.g, ink.b};
      for (int i = 0; i < 3; ++i) {
        p[i] = static_cast<std::uint8_t>((p[i] * (255 - coverage) + channel[i] * coverage + 127) / 255);
      }
      box.all.add(x, y);
      if (coverage >= 128) box.solid.add(x, y);
    }
  }
}

}  // namespace

TextRenderer::TextRenderer(const char* font_path) {
  if (FT_Init_FreeType(&library_) != 0) {
    library_ = nullptr;
    return;
  }
  if (FT_New_Face(library_, font_path, 0, &face_) != 0) face_ = nullptr;
}

TextRenderer::~TextRenderer() {
  if (face_ != nullptr) FT_Done_Face(face_);
  if (library_ != nullptr) FT_Done_FreeType(library_);
}

Ink TextRenderer::draw(vision_core::RgbImage& image, const std::string& text, std::int64_t x, std::int64_t baseline,
                       std::uint32_t pixel_size, Rgb ink) {
  Ink box;
  if (!ready() || FT_Set_Pixel_Sizes(face_, 0, pixel_size) != 0) return box;
  std::int64_t pen = x * 64;
  FT_UInt previous = 0;
  for (const char c : text) {
    const FT_UInt glyph = FT_Get_Char_Index(face_, static_cast<unsigned char>(c));
    if (previous != 0 && glyph != 0 && FT_HAS_KERNING(face_)) {
      FT_Vector delta{};
      FT_Get_Kerning(face_, previous, glyph, FT_KERNING_DEFAULT, &delta);
      pen += delta.x;
    }
    if (FT_Load_Glyph(face_, glyph, FT_LOAD_RENDER | FT_LOAD_TARGET_LIGHT) != 0) continue;
    const FT_GlyphSlot slot = face_->glyph;
    const std::int64_t left = (pen + 32) / 64 + slot->bitmap_left;
    const std::int64_t top = baseline - slot->bitmap_top;
    blend(image, slot->bitmap, left, top, ink, box);
    pen += slot->advance.x;
    previous = glyph;
  }
  return box;
}

std::int64_t TextRenderer::width(const std::string& text, std::uint32_t pixel_size) {
  if (!ready() || FT_Set_Pixel_Sizes(face_, 0, pixel_size) != 0) return 0;
  std::int64_t pen = 0;
  for (const char c : text) {
    if (FT_Load_Char(face_, static_cast<unsigned char>(c), FT_LOAD_TARGET_LIGHT) == 0) pen += face_->glyph->advance.x;
  }
  return (pen + 63) / 64;
}

vision_core::RgbImage filled_image(std::uint32_t width, std::uint32_t height, Rgb paper) {
  vision_core::RgbImage image(width, height);
  for (std::size_t i = 0; i < image.pixels.size(); i += 3) {
    image.pixels[i] = paper.r;
    image.pixels[i + 1] = paper.g;
    image.pixels[i + 2] = paper.b;
  }
  return image;
}

}  // namespace pelagon2::testing
