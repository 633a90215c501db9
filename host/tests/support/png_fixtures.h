#pragma once
// PNG files built in memory for tests: any colour type, bit depth and
// interlacing through libpng, plus chunk-level assembly and parsing for files
// libpng would not write (damaged or unusual chunk orders).

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace pelagon2::testing {

using Bytes = std::vector<std::uint8_t>;

struct PngPicture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bit_depth = 8;
  int color_type = PNG_COLOR_TYPE_RGB;
  bool interlaced = false;
  // width * height * channels sample values at the file's bit depth
  // (palette: indices), row-major.
  std::vector<std::uint16_t> samples;
  std::vector<png_color> palette;
  std::vector<png_byte> palette_alpha;       // tRNS for palette images
  std::optional<png_color_16> transparent;  // tRNS for grey and RGB images
  bool phys = false;
  std::uint32_t phys_x = 0;
  std::uint32_t phys_y = 0;
  int phys_unit = PNG_RESOLUTION_METER;
  int filters = 0;  // PNG_FILTER_* mask forced on the writer; 0 leaves libpng's choice
};

inline int channels_of(int color_type) {
  switch (color_type) {
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
    default: return 1;
  }
}

namespace detail {

inline void append_bytes(png_structp png, png_bytep data, std::size_t length) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}
inline void no_flush(png_structp) {}

// Packs samples into file rows: sub-byte samples most significant bits
// first, 16-bit samples big-endian.
inline std::vector<Bytes> pack_rows(const PngPicture& p) {
  const std::size_t per_row = std::size_t{p.width} * static_cast<std::size_t>(channels_of(p.color_type));
  std::vector<Bytes> rows(p.height);
  for (std::uint32_t y = 0; y < p.height; ++y) {
    Bytes& row = rows[y];
    row.assign((per_row * static_cast<std::size_t>(p.bit_depth) + 7) / 8, 0);
    for (std::size_t i = 0; i < per_row; ++i) {
      const std::uint16_t v = p.samples[y * per_row + i];
      if (p.bit_depth == 16) {
        row[2 * i] = static_cast<std::uint8_t>(v >> 8);
        row[2 * i + 1] = static_cast<std::uint8_t>(v & 0xFF);
      } else if (p.bit_depth == 8) {
        row[i] = static_cast<std::uint8_t>(v);
      } else {
        const std::size_t bit = i * static_cast<std::size_t>(p.bit_depth);
        const int shift = 8 - p.bit_depth - static_cast<int>(bit % 8);
        row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | (v << shift));
      }
    }
  }
  return rows;
}

inline bool write_frame(png_structp png, png_infop info, const PngPicture& p, png_bytepp row_pointers) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, p.width, p.height, p.bit_depth, p.color_type,
               p.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (!p.palette.empty()) png_set_PLTE(png, info, p.palette.data(), static_cast<int>(p.palette.size()));
  if (!p.palette_alpha.empty()) {
    png_set_tRNS(png, info, p.palette_alpha.data(), static_cast<int>(p.palette_alpha.size()), nullptr);
  }
  if (p.transparent) png_set_tRNS(png, info, nullptr, 0, &*p.transparent);
  if (p.phys) png_set_pHYs(png, info, p.phys_x, p.phys_y, p.phys_unit);
  if (p.filters != 0) png_set_filter(png, PNG_FILTER_TYPE_BASE, p.filters);
  png_write_info(png, info);
  png_write_image(png, row_pointers);
  png_write_end(png, nullptr);
  return true;
}

}  // namespace detail

// Encodes `p` with libpng; fails the test (and returns nothing) on error.
inline Bytes encode_png(const PngPicture& p) {
  std::vector<Bytes> rows = detail::pack_rows(p);
  std::vector<png_bytep> row_pointers;
  for (Bytes& row : rows) row_pointers.push_back(row.data());
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, detail::append_bytes, detail::no_flush);
  const bool ok = detail::write_frame(png, info, p, row_pointers.data());
  png_destroy_write_struct(&png, &info);
  EXPECT_TRUE(ok) << "test PNG could not be encoded";
  return ok ? out : Bytes();
}

struct Chunk {
  std::string type;
  Bytes data;
};

inline void put_be32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}
inline std::uint32_t get_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline const Bytes kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Signature plus the chunks with correct lengths and CRCs.
inline Bytes assemble_png(const std::vector<Chunk>& chunks) {
  Bytes out = kPngSignature;
  for (const Chunk& c : chunks) {
    put_be32(out, static_cast<std::uint32_t>(c.data.size()));
    const std::size_t crc_start = out.size();
    out.insert(out.end(), c.type.begin(), c.type.end());
    out.insert(out.end(), c.data.begin(), c.data.end());
    const uLong crc = crc32(0L, out.data() + crc_start, static_cast<uInt>(out.size() - crc_start));
    put_be32(out, static_cast<std::uint32_t>(crc));
  }
  return out;
}

// The chunks of a well-formed PNG (empty when the signature is wrong).
inline std::vector<Chunk> split_png(const Bytes& file) {
  std::vector<Chunk> chunks;
  if (file.size() < 8 || std::memcmp(file.data(), kPngSignature.data(), 8) != 0) return chunks;
  std::size_t at = 8;
  while (at + 12 <= file.size()) {
    const std::uint32_t length = get_be32(file.data() + at);
    if (at + 12 + length > file.size()) break;
    Chunk c;
    c.type.assign(reinterpret_cast<const char*>(file.data() + at + 4), 4);
    c.data.assign(file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                  file.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
    chunks.push_back(std::move(c));
    at += 12 + length;
  }
  return chunks;
}

inline Bytes ihdr_data(std::uint32_t width, std::uint32_t height, std::uint8_t depth, std::uint8_t color,
                       std::uint8_t interlace = 0) {
  Bytes d;
  put_be32(d, width);
  put_be32(d, height);
  d.insert(d.end(), {depth, color, 0, 0, interlace});
  return d;
}

inline Bytes phys_data(std::uint32_t x, std::uint32_t y, std::uint8_t unit) {
  Bytes d;
  put_be32(d, x);
  put_be32(d, y);
  d.push_back(unit);
  return d;
}

inline Bytes zlib_compress(const Bytes& raw) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
  out.resize(size);
  return out;
}

inline Bytes zlib_inflate(const Bytes& compressed, std::size_t expected_size) {
  Bytes out(expected_size);
  uLongf size = static_cast<uLongf>(expected_size);
  EXPECT_EQ(uncompress(out.data(), &size, compressed.data(), static_cast<uLong>(compressed.size())), Z_OK);
  out.resize(size);
  return out;
}

}  // namespace pelagon2::testing
