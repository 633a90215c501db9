#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "core/base64.h"
#include "cv/image_input.h"
#include "cv/png_input.h"
#include "support/png_fixtures.h"

namespace pelagon2::cv {
namespace {

using testing::assemble_png;
using testing::Bytes;
using testing::Chunk;
using testing::encode_png;
using testing::ihdr_data;
using testing::phys_data;
using testing::PngPicture;

std::string b64(const Bytes& bytes) { return base64_encode(bytes); }

Json param(const Bytes& bytes) { return Json{{"data", b64(bytes)}}; }

// Small deterministic generator so every run decodes the same pictures.
struct Lcg {
  std::uint32_t state = 12345;
  std::uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};

// Expected 8-bit value of a sample, worked out independently of libpng:
// low depths scale to 0..255, 16-bit rounds v * 255 / 65535 (never a tie).
std::uint8_t to8(std::uint32_t v, int depth) {
  if (depth == 16) return static_cast<std::uint8_t>((v * 255 + 32767) / 65535);
  return static_cast<std::uint8_t>(v * 255 / ((1u << depth) - 1));
}

struct Case {
  int color_type;
  int depth;
  bool with_trns;
};

PngPicture make_picture(const Case& c, bool interlaced, Lcg& rng) {
  PngPicture p;
  p.width = 13;  // odd sizes exercise sub-byte packing and partial interlace blocks
  p.height = 7;
  p.bit_depth = c.depth;
  p.color_type = c.color_type;
  p.interlaced = interlaced;
  const int channels = testing::channels_of(c.color_type);
  const std::uint32_t limit = 1u << c.depth;
  if (c.color_type == PNG_COLOR_TYPE_PALETTE) {
    for (std::uint32_t i = 0; i < limit; ++i) {
      p.palette.push_back(png_color{static_cast<png_byte>(rng.next()), static_cast<png_byte>(rng.next()),
                                    static_cast<png_byte>(rng.next())});
    }
    if (c.with_trns) p.palette_alpha = {0, 128};  // fits even a two-entry palette
  } else if (c.with_trns) {
    png_color_16 t{};
    t.gray = t.red = t.green = t.blue = 1;
    p.transparent = t;
  }
  for (std::size_t i = 0; i < std::size_t{p.width} * p.height * static_cast<std::size_t>(channels); ++i) {
    p.samples.push_back(static_cast<std::uint16_t>(rng.next() % limit));
  }
  // Make sure the extremes and the transparent entries occur.
  p.samples[0] = 0;
  p.samples[1] = static_cast<std::uint16_t>(limit - 1);
  p.samples[2] = 1;
  return p;
}

Bytes expected_rgb(const PngPicture& p) {
  const int channels = testing::channels_of(p.color_type);
  Bytes out;
  for (std::size_t px = 0; px < std::size_t{p.width} * p.height; ++px) {
    const std::uint16_t* s = &p.samples[px * static_cast<std::size_t>(channels)];
    switch (p.color_type) {
      case PNG_COLOR_TYPE_PALETTE: {
        const png_color& e = p.palette[s[0]];
        out.insert(out.end(), {e.red, e.green, e.blue});
        break;
      }
      case PNG_COLOR_TYPE_GRAY:
      case PNG_COLOR_TYPE_GRAY_ALPHA: {
        const std::uint8_t g = to8(s[0], p.bit_depth);
        out.insert(out.end(), {g, g, g});
        break;
      }
      default:
        out.insert(out.end(), {to8(s[0], p.bit_depth), to8(s[1], p.bit_depth), to8(s[2], p.bit_depth)});
    }
  }
  return out;
}

TEST(DecodePng, EveryColourTypeAndDepthBecomesRgb8) {
  const Case cases[] = {
      {PNG_COLOR_TYPE_GRAY, 1, false},       {PNG_COLOR_TYPE_GRAY, 2, false},
      {PNG_COLOR_TYPE_GRAY, 4, false},       {PNG_COLOR_TYPE_GRAY, 8, false},
      {PNG_COLOR_TYPE_GRAY, 16, false},      {PNG_COLOR_TYPE_GRAY, 8, true},
      {PNG_COLOR_TYPE_GRAY, 2, true},        {PNG_COLOR_TYPE_PALETTE, 1, false},
      {PNG_COLOR_TYPE_PALETTE, 2, false},    {PNG_COLOR_TYPE_PALETTE, 4, false},
      {PNG_COLOR_TYPE_PALETTE, 8, false},    {PNG_COLOR_TYPE_PALETTE, 1, true},
      {PNG_COLOR_TYPE_PALETTE, 2, true},     {PNG_COLOR_TYPE_PALETTE, 4, true},
      {PNG_COLOR_TYPE_PALETTE, 8, true},     {PNG_COLOR_TYPE_GRAY_ALPHA, 8, false},
      {PNG_COLOR_TYPE_GRAY_ALPHA, 16, false}, {PNG_COLOR_TYPE_RGB, 8, false},
      {PNG_COLOR_TYPE_RGB, 16, false},       {PNG_COLOR_TYPE_RGB, 8, true},
      {PNG_COLOR_TYPE_RGB, 16, true},        {PNG_COLOR_TYPE_RGB_ALPHA, 8, false},
      {PNG_COLOR_TYPE_RGB_ALPHA, 16, false},
  };
  Lcg rng;
  for (const Case& c : cases) {
    for (const bool interlaced : {false, true}) {
      SCOPED_TRACE("colour type " + std::to_string(c.color_type) + ", depth " + std::to_string(c.depth) +
                   (c.with_trns ? ", tRNS" : "") + (interlaced ? ", interlaced" : ""));
      const PngPicture picture = make_picture(c, interlaced, rng);
      const Expected<DecodedImage> decoded = decode_image_param(param(encode_png(picture)), "image");
      ASSERT_TRUE(decoded.ok()) << decoded.error();
      EXPECT_EQ(decoded->image.width, picture.width);
      EXPECT_EQ(decoded->image.height, picture.height);
      EXPECT_EQ(decoded->image.pixels, expected_rgb(picture));
      EXPECT_EQ(decoded->dpi, 96.0);
    }
  }
}

// 8-bit RGB and RGBA rows are unfiltered by the decoder itself: every filter
// type, on the first row (nothing above) and on later rows.
TEST(DecodePng, EveryRowFilterOfEightBitColour) {
  const std::pair<int, const char*> filters[] = {{PNG_FILTER_NONE, "none"}, {PNG_FILTER_SUB, "sub"},
                                                 {PNG_FILTER_UP, "up"},     {PNG_FILTER_AVG, "average"},
                                                 {PNG_FILTER_PAETH, "paeth"}};
  Lcg rng;
  for (const int color_type : {PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA}) {
    for (const auto& [filter, name] : filters) {
      SCOPED_TRACE(std::string(name) + (color_type == PNG_COLOR_TYPE_RGB ? " RGB" : " RGBA"));
      PngPicture p = make_picture({color_type, 8, false}, false, rng);
      p.width = 33;
      p.height = 9;
      p.samples.resize(33 * 9 * static_cast<std::size_t>(testing::channels_of(color_type)));
      // Smooth areas, noise and saturated values, so every predictor branch is taken.
      for (std::size_t i = 0; i < p.samples.size(); ++i) {
        p.samples[i] = static_cast<std::uint16_t>(i % 97 < 30 ? 255 : (i % 97 < 60 ? i % 7 : rng.next() & 0xFF));
      }
      p.filters = filter;
      const Bytes png = encode_png(p);
      const Expected<vision_core::RgbImage> image = decode_png_rgb(png);
      ASSERT_TRUE(image.ok()) << image.error();
      EXPECT_EQ(image->pixels, expected_rgb(p));
    }
  }
}

// Image data split over many IDAT chunks reads as one stream.
TEST(DecodePng, ImageDataAcrossManyChunks) {
  Bytes rows;
  for (std::uint8_t y = 0; y < 4; ++y) rows.insert(rows.end(), {1, y, 10, 20, 1, 1, 1, 2, 2, 2});
  const Bytes stream = testing::zlib_compress(rows);
  std::vector<Chunk> chunks = {{"IHDR", ihdr_data(3, 4, 8, 2)}};
  for (const std::uint8_t byte : stream) chunks.push_back({"IDAT", Bytes{byte}});
  chunks.push_back({"IEND", {}});
  const Expected<vision_core::RgbImage> image = decode_png_rgb(assemble_png(chunks));
  ASSERT_TRUE(image.ok()) << image.error();
  Bytes want;
  for (std::uint8_t y = 0; y < 4; ++y) want.insert(want.end(), {y, 10, 20, static_cast<std::uint8_t>(y + 1), 11, 21,
                                                                static_cast<std::uint8_t>(y + 3), 13, 23});
  EXPECT_EQ(image->pixels, want);
}

TEST(DecodePng, DamagedImageData) {
  const Bytes two_rows = {0, 1, 2, 3, 0, 4, 5, 6};  // 1x2 RGB, filter None
  const Chunk ihdr = {"IHDR", ihdr_data(1, 2, 8, 2)};
  const Chunk iend = {"IEND", {}};
  Bytes bad_crc = assemble_png({ihdr, {"IDAT", testing::zlib_compress(two_rows)}, iend});
  bad_crc[8 + 25 + 8] ^= 0x55;  // first byte of the IDAT data
  const Bytes stream = testing::zlib_compress(two_rows);
  const Bytes half(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2));
  struct Row {
    const char* what;
    Bytes png;
    std::string reason;
  };
  const Row rows[] = {
      {"CRC", bad_crc, "IDAT: CRC error"},
      {"short stream", assemble_png({ihdr, {"IDAT", testing::zlib_compress({0, 1, 2, 3})}, iend}),
       "Not enough image data"},
      {"cut stream", assemble_png({ihdr, {"IDAT", half}, iend}), "Not enough image data"},
      {"filter 5", assemble_png({ihdr, {"IDAT", testing::zlib_compress({5, 1, 2, 3, 0, 4, 5, 6})}, iend}),
       "bad adaptive filter value"},
      {"not deflate", assemble_png({ihdr, {"IDAT", Bytes{0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF}}, iend}),
       "invalid block type"},
      {"file ends in IDAT", Bytes(bad_crc.begin(), bad_crc.end() - 20), "unexpected end of PNG data"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const Expected<vision_core::RgbImage> image = decode_png_rgb(r.png);
    ASSERT_FALSE(image.ok());
    EXPECT_EQ(image.error(), r.reason);
  }
}

// Streams that hold every row before they end badly have always given the
// image: a checksum cut off, rows beyond the last, damage in a later IDAT.
TEST(DecodePng, DamageAfterTheLastRowIsNotRead) {
  const Bytes two_rows = {0, 1, 2, 3, 1, 4, 5, 6};  // 1x2 RGB: None, then Sub
  const Bytes want = {1, 2, 3, 4, 5, 6};
  const Chunk ihdr = {"IHDR", ihdr_data(1, 2, 8, 2)};
  const Chunk iend = {"IEND", {}};
  const Bytes stream = testing::zlib_compress(two_rows);
  const Bytes no_checksum(stream.begin(), stream.end() - 4);
  Bytes surplus_rows = two_rows;
  surplus_rows.insert(surplus_rows.end(), {0, 7, 8, 9});
  Bytes damaged_tail_chunk = assemble_png({ihdr, {"IDAT", stream}, {"IDAT", Bytes{1, 2, 3}}, iend});
  damaged_tail_chunk[8 + 25 + 12 + stream.size() + 8] ^= 0x55;  // data of the second IDAT
  struct Row {
    const char* what;
    Bytes png;
  };
  const Row rows[] = {
      {"no checksum", assemble_png({ihdr, {"IDAT", no_checksum}, iend})},
      {"surplus rows", assemble_png({ihdr, {"IDAT", testing::zlib_compress(surplus_rows)}, iend})},
      {"damaged IDAT after the image", damaged_tail_chunk},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const Expected<vision_core::RgbImage> image = decode_png_rgb(r.png);
    ASSERT_TRUE(image.ok()) << image.error();
    EXPECT_EQ(image->pixels, want);
  }
}

// Rows of a screen-sized width go through the vector form of each filter,
// with a tail too short for it; every filter agrees with the plain sums.
// Besides noise: values 0 to 2, where the Paeth distances tie all the time,
// and only 0 and 255, where sums wrap and averages of odd sums round down.
TEST(DecodePng, WideRowsOfEveryFilter) {
  enum Values { noise, ties, extremes };
  for (const auto& [channels, values] : {std::pair{3u, noise}, std::pair{4u, noise}, std::pair{3u, ties},
                                        std::pair{4u, ties}, std::pair{3u, extremes}, std::pair{4u, extremes}}) {
    const std::uint32_t width = 101;
    const std::size_t row_bytes = width * channels;
    Bytes filtered;
    Bytes unfiltered(row_bytes * 5);
    Lcg rng;
    for (std::size_t y = 0; y < 5; ++y) {
      const std::uint8_t type = static_cast<std::uint8_t>(y);
      filtered.push_back(type);
      for (std::size_t i = 0; i < row_bytes; ++i) {
        const std::uint32_t r = rng.next();
        const std::uint8_t value =
            static_cast<std::uint8_t>(values == noise ? r : values == ties ? r % 3 : (r & 1) * 255);
        const int a = i >= channels ? unfiltered[y * row_bytes + i - channels] : 0;
        const int b = y > 0 ? unfiltered[(y - 1) * row_bytes + i] : 0;
        const int c = i >= channels && y > 0 ? unfiltered[(y - 1) * row_bytes + i - channels] : 0;
        const int p = a + b - c;
        const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        const int predictor[5] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : (pb <= pc ? b : c)};
        unfiltered[y * row_bytes + i] = value;
        filtered.push_back(static_cast<std::uint8_t>(value - predictor[type]));
      }
    }
    SCOPED_TRACE(std::to_string(channels) + " channels, values " + std::to_string(values));
    const Bytes png = assemble_png({{"IHDR", ihdr_data(width, 5, 8, channels == 3 ? 2 : 6)},
                                    {"IDAT", testing::zlib_compress(filtered)},
                                    {"IEND", {}}});
    const Expected<vision_core::RgbImage> image = decode_png_rgb(png);
    ASSERT_TRUE(image.ok()) << image.error();
    Bytes want;
    for (std::size_t i = 0; i < unfiltered.size(); i += channels) {
      want.insert(want.end(), unfiltered.begin() + static_cast<std::ptrdiff_t>(i),
                  unfiltered.begin() + static_cast<std::ptrdiff_t>(i + 3));
    }
    EXPECT_EQ(image->pixels, want);
  }
}

// A zlib stream of one stored block holding `prefix`, then a fixed-code block
// with one 3-byte match at distance code `code` (its 13 extra bits all 0) and
// its end. `adler_of` is what the checksum covers.
Bytes stream_with_distance_code(const Bytes& prefix, unsigned code, const Bytes& adler_of) {
  Bytes out = {0x78, 0x01};
  std::uint32_t bits = 0;
  int count = 0;
  auto put = [&](std::uint32_t value, int n) {  // least significant bit first
    bits |= value << count;
    count += n;
    for (; count >= 8; count -= 8, bits >>= 8) out.push_back(static_cast<std::uint8_t>(bits));
  };
  auto put_code = [&](std::uint32_t code_bits, int n) {  // Huffman codes go most significant bit first
    for (int i = n - 1; i >= 0; --i) put((code_bits >> i) & 1u, 1);
  };
  put(0, 3);  // not final, stored
  put(0, 8 - count);
  const auto len = static_cast<std::uint16_t>(prefix.size());
  out.insert(out.end(), {static_cast<std::uint8_t>(len), static_cast<std::uint8_t>(len >> 8),
                         static_cast<std::uint8_t>(~len), static_cast<std::uint8_t>(~len >> 8)});
  out.insert(out.end(), prefix.begin(), prefix.end());
  put(1, 1);       // final
  put(1, 2);       // fixed codes
  put_code(1, 7);  // length symbol 257: 3 bytes
  put_code(code, 5);
  put(0, 13);
  put_code(0, 7);  // end of block
  if (count > 0) put(0, 8 - count);
  const uLong adler = adler32(adler32(0, nullptr, 0), adler_of.data(), static_cast<uInt>(adler_of.size()));
  testing::put_be32(out, static_cast<std::uint32_t>(adler));
  return out;
}

// Distance codes 30 and 31 are reserved and zlib refuses them. The one-shot
// inflate reads both as code 29 (distance 24577 and up), so a stream that
// uses them, with a checksum over that reading, gives an image instead of an
// error. Pinned here so that a change either way is noticed.
TEST(DecodePng, ReservedDistanceCodesReadAsCode29) {
  const std::uint32_t width = 1000;  // 3001 bytes a row
  const std::uint32_t height = 12;
  const std::size_t file_row = width * 3 + 1;
  const std::size_t size = height * file_row;
  Bytes prefix(size - 3);
  Lcg rng;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    prefix[i] = i % file_row == 0 ? 0 : static_cast<std::uint8_t>(rng.next());
  }
  Bytes filtered = prefix;
  for (int i = 0; i < 3; ++i) filtered.push_back(filtered[filtered.size() - 24577]);
  Bytes want;
  for (std::size_t i = 0; i < filtered.size(); ++i) {
    if (i % file_row != 0) want.push_back(filtered[i]);
  }
  for (const unsigned code : {29u, 30u, 31u}) {
    SCOPED_TRACE("distance code " + std::to_string(code));
    const Bytes stream = stream_with_distance_code(prefix, code, filtered);
    Bytes inflated(size);
    uLongf inflated_size = static_cast<uLongf>(size);
    const int zlib_status =
        uncompress(inflated.data(), &inflated_size, stream.data(), static_cast<uLong>(stream.size()));
    EXPECT_EQ(zlib_status, code == 29 ? Z_OK : Z_DATA_ERROR);

    const Expected<vision_core::RgbImage> image =
        decode_png_rgb(assemble_png({{"IHDR", ihdr_data(width, height, 8, 2)}, {"IDAT", stream}, {"IEND", {}}}));
    ASSERT_TRUE(image.ok()) << image.error();
    EXPECT_EQ(image->pixels, want);
  }
}

TEST(DecodePng, SixteenBitScalingIsRoundedForEveryValue) {
  PngPicture p;
  p.width = 65536;
  p.height = 1;
  p.bit_depth = 16;
  p.color_type = PNG_COLOR_TYPE_GRAY;
  for (std::uint32_t v = 0; v < 65536; ++v) p.samples.push_back(static_cast<std::uint16_t>(v));
  const Expected<vision_core::RgbImage> image = decode_png_rgb(encode_png(p));
  ASSERT_TRUE(image.ok()) << image.error();
  int wrong = 0;
  for (std::uint32_t v = 0; v < 65536; ++v) {
    const auto want = static_cast<std::uint8_t>(std::lround(v * 255.0 / 65535.0));
    if (image->pixels[v * 3] != want && ++wrong <= 5) ADD_FAILURE() << "value " << v << " gave " << +image->pixels[v * 3];
  }
  EXPECT_EQ(wrong, 0);
}

TEST(DecodePng, TransparentPixelsKeepTheirColour) {
  PngPicture p;
  p.width = 2;
  p.height = 1;
  p.bit_depth = 16;
  p.color_type = PNG_COLOR_TYPE_RGB_ALPHA;
  p.samples = {0xFFFF, 0x8080, 0x0101, 0x0000,   // fully transparent
               0x1234, 0xABCD, 0x0000, 0xFFFF};  // opaque
  const Expected<DecodedImage> decoded = decode_image_param(param(encode_png(p)), "image");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded->image.pixels, (Bytes{255, 128, 1, 18, 171, 0}));
}

TEST(ImageParam, DpiFromParameterOrDensityChunk) {
  PngPicture base;
  base.width = 3;
  base.height = 2;
  base.color_type = PNG_COLOR_TYPE_RGB;
  base.samples.assign(18, 200);
  struct Row {
    bool phys;
    std::uint32_t x, y;
    int unit;
    std::optional<Json> dpi_param;
    double want;
  };
  const Row rows[] = {
      {false, 0, 0, 1, std::nullopt, 96.0},
      {true, 3780, 3780, 1, std::nullopt, 96.0},  // 96.012
      {true, 2835, 2835, 1, std::nullopt, 72.0},
      {true, 5669, 5669, 1, std::nullopt, 144.0},
      {true, 7559, 1, 1, std::nullopt, 192.0},    // only X counts
      {true, 3780, 3780, 0, std::nullopt, 96.0},  // unit unknown
      {true, 0, 5669, 1, std::nullopt, 96.0},     // X density 0
      {true, 19, 19, 1, std::nullopt, 0.0},       // a stated density that rounds to 0 DPI stays 0
      {true, 20, 20, 1, std::nullopt, 1.0},       // 0.508
      {true, 2835, 2835, 1, Json(144), 144.0},
      {true, 2835, 2835, 1, Json(72.5), 72.5},
      {true, 2835, 2835, 1, Json(0), 72.0},       // only a positive dpiX counts
      {true, 2835, 2835, 1, Json(-5), 72.0},
      {true, 2835, 2835, 1, Json(-5.5), 72.0},
      {true, 2835, 2835, 1, Json("144"), 72.0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.x) + " unit " + std::to_string(r.unit) +
                 (r.dpi_param ? " dpiX " + r.dpi_param->dump() : ""));
    PngPicture p = base;
    p.phys = r.phys;
    p.phys_x = r.x;
    p.phys_y = r.y;
    p.phys_unit = r.unit;
    Json value = param(encode_png(p));
    if (r.dpi_param) value["dpiX"] = *r.dpi_param;
    const Expected<DecodedImage> decoded = decode_image_param(value, "pattern");
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded->dpi, r.want);
  }
}

TEST(ImageParam, RawPixels) {
  const Bytes twelve = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  struct Row {
    Json extra;
    double dpi;
  };
  const Row rows[] = {
      {Json::object(), 96.0},
      {Json{{"dpiX", 144}}, 144.0},
      {Json{{"dpiX", 0}}, 96.0},
      {Json{{"dpiX", -5}}, 96.0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.extra.dump());
    Json value = {{"data", b64(twelve)}, {"width", 2u}, {"height", 2u}};
    value.update(r.extra);
    const Expected<DecodedImage> decoded = decode_image_param(value, "image");
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded->image.width, 2u);
    EXPECT_EQ(decoded->image.height, 2u);
    EXPECT_EQ(decoded->image.pixels, twelve);
    EXPECT_EQ(decoded->dpi, r.dpi);
  }

  // Dimensions keep their low 32 bits.
  const Json wrapped = {{"data", b64(twelve)}, {"width", (std::uint64_t{1} << 32) + 2}, {"height", 2u}};
  const Expected<DecodedImage> decoded = decode_image_param(wrapped, "image");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded->image.width, 2u);
}

TEST(ImageParam, BytesOfTheRawLengthAreRawEvenWhenTheyAreAPng) {
  PngPicture p;
  p.width = 1;
  p.height = 1;
  p.color_type = PNG_COLOR_TYPE_RGB;
  p.samples = {10, 20, 30};
  p.phys = true;
  p.phys_x = p.phys_y = 5669;
  Bytes png = encode_png(p);
  while (png.size() % 3 != 0) png.push_back(0);  // bytes after IEND are never read
  const Json value = {{"data", b64(png)}, {"width", png.size() / 3}, {"height", 1u}};
  const Expected<DecodedImage> decoded = decode_image_param(value, "image");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded->image.width, png.size() / 3);
  EXPECT_EQ(decoded->image.pixels, png);
  EXPECT_EQ(decoded->dpi, 144.0);  // the density is still read from the header
}

TEST(ImageParam, Errors) {
  const std::string twelve = b64(Bytes(12, 7));
  struct Row {
    Json value;
    std::string name;
    std::string message;
  };
  const Row rows[] = {
      {Json(twelve), "image", "bad_params: missing 'image.data'"},
      {Json::object(), "pattern", "bad_params: missing 'pattern.data'"},
      {Json{{"data", 5}}, "anchor", "bad_params: missing 'anchor.data'"},
      {Json::array({twelve}), "image", "bad_params: missing 'image.data'"},
      {Json{{"data", "AAA"}}, "image", "bad_params: base64 decode failed: Invalid padding"},
      {Json{{"data", "AA A"}}, "image", "bad_params: base64 decode failed: Invalid symbol 32, offset 2."},
      {Json{{"data", twelve}, {"width", 2u}, {"height", 3u}}, "image",
       "bad_image: image is neither raw RGB of 2x3x3 bytes nor decodable: Not a PNG file"},
      {Json{{"data", twelve}, {"width", 2.0}, {"height", 2u}}, "image",
       "bad_image: image is neither raw RGB of 0x2x3 bytes nor decodable: Not a PNG file"},
      {Json{{"data", twelve}, {"width", -2}, {"height", 2u}}, "image",
       "bad_image: image is neither raw RGB of 0x2x3 bytes nor decodable: Not a PNG file"},
      {Json{{"data", ""}}, "image", "bad_image: image is neither raw RGB of 0x0x3 bytes nor decodable: Not a PNG file"},
      // 2007567422 * 3 * 3062868337 = 2^64 + 26: equal to the length only modulo 2^64.
      {Json{{"data", b64(Bytes(26, 1))}, {"width", 2007567422u}, {"height", 3062868337u}}, "image",
       "bad_image: raw size mismatch for image"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.value.dump());
    const Expected<DecodedImage> decoded = decode_image_param(r.value, r.name);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error(), r.message);
  }
}

// A minimal valid image body: IDAT of 1x1 8-bit RGB.
Chunk one_pixel_idat() { return Chunk{"IDAT", testing::zlib_compress(Bytes{0, 9, 8, 7})}; }

TEST(ImageParam, DamagedPngsFailWithTheDecodersReason) {
  PngPicture p;
  p.width = 40;
  p.height = 30;
  p.color_type = PNG_COLOR_TYPE_RGB;
  Lcg rng;
  for (int i = 0; i < 40 * 30 * 3; ++i) p.samples.push_back(static_cast<std::uint16_t>(rng.next() & 0xFF));
  const Bytes good = encode_png(p);

  Bytes truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
  const Bytes cut_in_ihdr(good.begin(), good.begin() + 25);  // ends before the bit depth and colour type
  Bytes bad_ihdr_crc = good;
  bad_ihdr_crc[29] ^= 0xFF;
  const Bytes no_idat = assemble_png({{"IHDR", ihdr_data(1, 1, 8, 2)}, {"IEND", {}}});
  const Bytes bad_depth = assemble_png({{"IHDR", ihdr_data(1, 1, 3, 2)}, one_pixel_idat(), {"IEND", {}}});
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1};

  for (const Bytes& bytes : {truncated, cut_in_ihdr, bad_ihdr_crc, no_idat, bad_depth, jpeg}) {
    const Expected<DecodedImage> decoded = decode_image_param(param(bytes), "image");
    ASSERT_FALSE(decoded.ok());
    const std::string prefix = "bad_image: image is neither raw RGB of 0x0x3 bytes nor decodable: ";
    ASSERT_EQ(decoded.error().substr(0, prefix.size()), prefix);
    EXPECT_GT(decoded.error().size(), prefix.size()) << "the reason is missing";
  }
}

TEST(ImageParam, OversizedHeadersAreRefusedBeforeDecoding) {
  struct Row {
    std::uint32_t width, height;
    std::string reason;
  };
  const Row rows[] = {
      {100000, 100000, "image size 100000x100000 exceeds the decoding limit of 268435456 pixels"},
      {16385, 16384, "image size 16385x16384 exceeds the decoding limit of 268435456 pixels"},
      {1000001, 1, "image size 1000001x1 exceeds the decoding limit of 1000000 pixels per side"},
      {1, 2000000, "image size 1x2000000 exceeds the decoding limit of 1000000 pixels per side"},
      // Within the pixel limits, but no deflate stream in a file this small can hold the rows.
      {16384, 16383, "image size 16384x16383 cannot be held by 69 bytes of PNG data"},
      {4000, 3000, "image size 4000x3000 cannot be held by 69 bytes of PNG data"},
  };
  for (const Row& r : rows) {
    const Bytes png = assemble_png({{"IHDR", ihdr_data(r.width, r.height, 8, 2)}, one_pixel_idat(), {"IEND", {}}});
    const Expected<DecodedImage> decoded = decode_image_param(param(png), "image");
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error(), "bad_image: image is neither raw RGB of 0x0x3 bytes nor decodable: " + r.reason);
  }
}

// An ancillary chunk that inflates to far more than the chunk memory limit is
// dropped; the image itself still decodes.
TEST(ImageParam, CompressedTextBombIsSkipped) {
  Bytes ztxt = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};
  const Bytes text = testing::zlib_compress(Bytes(64u << 20, 'a'));
  ztxt.insert(ztxt.end(), text.begin(), text.end());
  const Bytes png = assemble_png({{"IHDR", ihdr_data(1, 1, 8, 2)},
                                  {"zTXt", ztxt},
                                  {"pHYs", phys_data(2835, 2835, 1)},
                                  one_pixel_idat(),
                                  {"IEND", {}}});
  const Expected<DecodedImage> decoded = decode_image_param(param(png), "image");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded->image.pixels, (Bytes{9, 8, 7}));
  EXPECT_EQ(decoded->dpi, 72.0);
}

// The header of an animated PNG ends at its first frame data, as at IDAT.
TEST(ImageParam, HeaderStopsAtFrameData) {
  const Bytes png = assemble_png({{"IHDR", ihdr_data(1, 1, 8, 2)},
                                  {"fdAT", Bytes{0, 0, 0, 1}},
                                  {"pHYs", phys_data(2835, 2835, 1)},
                                  one_pixel_idat(),
                                  {"IEND", {}}});
  const Expected<PngHeader> header = read_png_header(png);
  ASSERT_TRUE(header.ok()) << header.error();
  EXPECT_FALSE(header->has_phys);
  const Expected<DecodedImage> decoded = decode_image_param(param(png), "image");
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded->dpi, 96.0);
  EXPECT_EQ(decoded->image.pixels, (Bytes{9, 8, 7}));
}

// Frame data where no IHDR came first ends nothing: there is no header to report.
TEST(ImageParam, FrameDataBeforeTheHeaderIsNoHeader) {
  const Bytes frame_first = assemble_png({{"fdAT", Bytes{0, 0, 0, 1}}, {"IEND", {}}});
  const Bytes frame_then_header = assemble_png(
      {{"fdAT", Bytes{0, 0, 0, 1}}, {"IHDR", ihdr_data(1, 1, 8, 2)}, one_pixel_idat(), {"IEND", {}}});
  for (const Bytes& png : {frame_first, frame_then_header}) {
    const Expected<PngHeader> header = read_png_header(png);
    ASSERT_FALSE(header.ok()) << "a header of " << header->width << "x" << header->height;
    EXPECT_EQ(header.error(), "fdAT: missing IHDR");
    const Outcome info = get_image_info(Json{{"content", b64(png)}});
    ASSERT_FALSE(info.ok()) << to_json_text(info.value());
    EXPECT_EQ(info.error(), "bad_image: not a decodable PNG: fdAT: missing IHDR");
  }
}

Json info_of(const Bytes& png) {
  const Outcome out = get_image_info(Json{{"content", b64(png)}});
  EXPECT_TRUE(out.ok()) << out.error();
  return out.ok() ? out.value() : Json();
}

TEST(GetImageInfo, ColourCodesAndBitDepths) {
  struct Row {
    int color_type, depth;
    std::uint64_t bit_depth, color;
  };
  const Row rows[] = {
      {PNG_COLOR_TYPE_PALETTE, 8, 8, 1},     {PNG_COLOR_TYPE_PALETTE, 2, 2, 1}, {PNG_COLOR_TYPE_GRAY, 1, 1, 2},
      {PNG_COLOR_TYPE_GRAY, 16, 16, 2},      {PNG_COLOR_TYPE_GRAY_ALPHA, 8, 16, 3},
      {PNG_COLOR_TYPE_GRAY_ALPHA, 16, 32, 3}, {PNG_COLOR_TYPE_RGB, 8, 24, 4},    {PNG_COLOR_TYPE_RGB, 16, 48, 4},
      {PNG_COLOR_TYPE_RGB_ALPHA, 8, 32, 5},  {PNG_COLOR_TYPE_RGB_ALPHA, 16, 64, 5},
  };
  Lcg rng;
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.color_type) + "/" + std::to_string(r.depth));
    PngPicture p = make_picture({r.color_type, r.depth, false}, false, rng);
    const Json info = info_of(encode_png(p));
    const Json want = {{"bitDepth", r.bit_depth}, {"color", r.color}, {"dpiX", 0.0}, {"dpiY", 0.0},
                       {"format", 1},             {"height", 7},      {"width", 13}};
    EXPECT_EQ(info, want);
    EXPECT_TRUE(info["dpiX"].is_number_float());
    EXPECT_TRUE(info["width"].is_number_unsigned());
  }
}

TEST(GetImageInfo, Densities) {
  struct Row {
    std::uint32_t x, y;
    std::uint8_t unit;
    double dpi_x, dpi_y;
  };
  const Row rows[] = {
      {3780, 2835, 1, 96.0, 72.0},
      {0, 3780, 1, 0.0, 96.0},  // a zero density is reported, not skipped
      {3780, 3780, 0, 0.0, 0.0},
      {7559, 5669, 1, 192.0, 144.0},
      {4294967295u, 1, 1, 109092169.0, 0.0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.x) + "," + std::to_string(r.y) + " unit " + std::to_string(r.unit));
    const Bytes png = assemble_png(
        {{"IHDR", ihdr_data(1, 1, 8, 2)}, {"pHYs", phys_data(r.x, r.y, r.unit)}, one_pixel_idat(), {"IEND", {}}});
    const Json info = info_of(png);
    EXPECT_EQ(info["dpiX"], r.dpi_x);
    EXPECT_EQ(info["dpiY"], r.dpi_y);
  }
}

// Only the header is read, so sizes beyond what the decoder accepts are
// reported as they are.
TEST(GetImageInfo, HugeHeaderIsReported) {
  const Bytes png = assemble_png({{"IHDR", ihdr_data(100000, 100000, 8, 6)}, one_pixel_idat(), {"IEND", {}}});
  const Json info = info_of(png);
  EXPECT_EQ(info["width"], 100000u);
  EXPECT_EQ(info["height"], 100000u);
  EXPECT_EQ(info["bitDepth"], 32u);
}

TEST(GetImageInfo, Errors) {
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1};
  struct Row {
    Json params;
    std::string message;
  };
  const Row rows[] = {
      {Json(), "bad_params: missing 'content'"},
      {Json::array({"x"}), "bad_params: missing 'content'"},
      {Json{{"data", "AAAA"}}, "bad_params: missing 'content'"},
      {Json{{"content", 12}}, "bad_params: missing 'content'"},
      {Json{{"content", "AAB="}, {"x", 1}}, "bad_params: base64 decode failed: Invalid last symbol 66, offset 2."},
      {Json{{"content", b64(jpeg)}}, "bad_image: not a decodable PNG: Not a PNG file"},
      {Json{{"content", b64(Bytes(12, 0))}}, "bad_image: not a decodable PNG: Not a PNG file"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.params.dump());
    const Outcome out = get_image_info(r.params);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error(), r.message);
  }
  // A damaged header gives the decoder's own reason.
  Bytes png = assemble_png({{"IHDR", ihdr_data(0, 1, 8, 2)}, one_pixel_idat(), {"IEND", {}}});
  const Outcome out = get_image_info(Json{{"content", b64(png)}});
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().rfind("bad_image: not a decodable PNG: ", 0), 0u) << out.error();
  EXPECT_GT(out.error().size(), std::string("bad_image: not a decodable PNG: ").size());
}

}  // namespace
}  // namespace pelagon2::cv
