#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include "core/base64.h"
#include "cv/image_input.h"
#include "cv/png_input.h"
#include "cv/png_output.h"
#include "support/png_fixtures.h"

namespace pelagon2::cv {
namespace {

using testing::Bytes;
using testing::Chunk;

class PngOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelagon2-png-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static Bytes read_file(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::filesystem::path dir_;
};

// Screen-like content: flat areas, a gradient and some noise.
Bytes make_pixels(std::uint32_t width, std::uint32_t height, std::size_t channels) {
  Bytes pixels(std::size_t{width} * height * channels);
  std::uint32_t seed = 99;
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint8_t* p = &pixels[(std::size_t{y} * width + x) * channels];
      seed = seed * 1664525u + 1013904223u;
      p[0] = static_cast<std::uint8_t>(x < width / 2 ? 240 : x * 7);
      p[1] = static_cast<std::uint8_t>(y * 3);
      p[2] = static_cast<std::uint8_t>(seed >> 24);
      if (channels == 4) p[3] = static_cast<std::uint8_t>(x + y);
    }
  }
  return pixels;
}

Bytes drop_alpha(const Bytes& rgba) {
  Bytes rgb;
  for (std::size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
  return rgb;
}

TEST(PpmFromDpi, RoundsAndSaturates) {
  const struct {
    double dpi;
    std::uint32_t ppm;
  } rows[] = {
      {96.0, 3780},
      {144.0, 5669},
      {192.0, 7559},
      {72.0, 2835},
      {0.0, 0},
      {-96.0, 0},
      {0.0127, 1},  // exactly half a pixel per metre rounds up
      {std::nan(""), 0},
      {1e12, 4294967295u},
      {std::numeric_limits<double>::infinity(), 4294967295u},
  };
  for (const auto& r : rows) EXPECT_EQ(ppm_from_dpi(r.dpi), r.ppm) << r.dpi;
}

TEST_F(PngOutput, ChunksFilterAndRoundTrip) {
  const std::uint32_t width = 37;
  const std::uint32_t height = 11;
  const struct {
    PngColor color;
    std::size_t channels;
    double dpi;
    std::uint32_t ppm;
  } rows[] = {
      {PngColor::rgb, 3, 96.0, 3780},
      {PngColor::rgb, 3, 144.0, 5669},
      {PngColor::rgba, 4, 192.0, 7559},
      {PngColor::rgba, 4, 96.0 * 1.5, 5669},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::to_string(r.channels) + " channels at " + std::to_string(r.dpi));
    const Bytes pixels = make_pixels(width, height, r.channels);
    const std::string file = path("out.png");
    const Done written = write_png_file(pixels, width, height, r.color, r.dpi, file);
    ASSERT_TRUE(written.ok()) << written.error();
    const Bytes png = read_file(file);

    // Exactly IHDR, pHYs, IDAT..., IEND.
    const std::vector<Chunk> chunks = testing::split_png(png);
    ASSERT_GE(chunks.size(), 4u);
    EXPECT_EQ(chunks[0].type, "IHDR");
    EXPECT_EQ(chunks[0].data, testing::ihdr_data(width, height, 8, static_cast<std::uint8_t>(r.color)));
    EXPECT_EQ(chunks[1].type, "pHYs");
    EXPECT_EQ(chunks[1].data, testing::phys_data(r.ppm, r.ppm, 1));
    Bytes idat;
    for (std::size_t i = 2; i + 1 < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i].type, "IDAT");
      idat.insert(idat.end(), chunks[i].data.begin(), chunks[i].data.end());
    }
    EXPECT_EQ(chunks.back().type, "IEND");

    // Every row carries the Sub filter.
    const std::size_t stride = width * r.channels;
    const Bytes raw = testing::zlib_inflate(idat, (stride + 1) * height);
    ASSERT_EQ(raw.size(), (stride + 1) * height);
    for (std::uint32_t y = 0; y < height; ++y) EXPECT_EQ(raw[y * (stride + 1)], 1) << "row " << y;

    const Expected<DecodedImage> back = decode_image_param(Json{{"data", base64_encode(png)}}, "image");
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(back->dpi, r.dpi);
    EXPECT_EQ(back->image.width, width);
    EXPECT_EQ(back->image.height, height);
    EXPECT_EQ(back->image.pixels, r.channels == 4 ? drop_alpha(pixels) : pixels);
  }
}

// Whatever the content and row length (shorter than one pixel's worth of
// vector lanes, ending mid-lane, noise that does not compress), the file
// carries chunks with correct CRCs and one zlib stream that zlib itself
// inflates, to its end, back to the Sub-filtered rows of exactly the input.
TEST_F(PngOutput, ZlibInflatesTheStreamBackToThePixels) {
  enum Content { flat, noise, screen };
  const struct {
    std::uint32_t width;
    std::uint32_t height;
    std::size_t channels;
    Content content;
  } cases[] = {
      {1, 1, 3, flat},   {1, 7, 4, noise},   {5, 3, 3, noise},     {6, 4, 4, screen},   {17, 9, 3, noise},
      {21, 5, 4, noise}, {300, 40, 3, flat}, {333, 61, 4, screen}, {512, 64, 3, noise}, {1023, 3, 4, noise},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "x" + std::to_string(c.channels) +
                 " content " + std::to_string(c.content));
    Bytes pixels = make_pixels(c.width, c.height, c.channels);
    std::uint32_t seed = c.width * 31 + c.height;
    for (std::uint8_t& v : pixels) {
      seed = seed * 1664525u + 1013904223u;
      if (c.content == flat) v = 0x5A;
      if (c.content == noise) v = static_cast<std::uint8_t>(seed >> 24);
    }
    const std::string file = path("z.png");
    const Done written =
        write_png_file(pixels, c.width, c.height, c.channels == 4 ? PngColor::rgba : PngColor::rgb, 96.0, file);
    ASSERT_TRUE(written.ok()) << written.error();
    const Bytes png = read_file(file);

    Bytes idat;
    std::size_t at = 8;
    for (const Chunk& chunk : testing::split_png(png)) {
      const std::uint32_t stored = testing::get_be32(png.data() + at + 8 + chunk.data.size());
      EXPECT_EQ(stored, crc32(0L, png.data() + at + 4, static_cast<uInt>(4 + chunk.data.size()))) << chunk.type;
      at += 12 + chunk.data.size();
      if (chunk.type == "IDAT") idat.insert(idat.end(), chunk.data.begin(), chunk.data.end());
    }
    EXPECT_EQ(at, png.size()) << "bytes after the last whole chunk";

    // inflate, not uncompress: it must reach the stream's end (checksum
    // included) with every byte consumed and nothing more to give.
    const std::size_t stride = std::size_t{c.width} * c.channels;
    Bytes raw((stride + 1) * c.height + 1);
    z_stream z{};
    ASSERT_EQ(inflateInit(&z), Z_OK);
    z.next_in = idat.data();
    z.avail_in = static_cast<uInt>(idat.size());
    z.next_out = raw.data();
    z.avail_out = static_cast<uInt>(raw.size());
    const int status = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    ASSERT_EQ(status, Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u);
    ASSERT_EQ(z.total_out, raw.size() - 1);

    // Undo the Sub filter here rather than trust the decoder under test.
    Bytes back;
    for (std::uint32_t y = 0; y < c.height; ++y) {
      const std::uint8_t* row = raw.data() + y * (stride + 1);
      ASSERT_EQ(row[0], 1) << "row " << y;
      for (std::size_t i = 0; i < stride; ++i) {
        const std::uint8_t left = i >= c.channels ? back[back.size() - c.channels] : 0;
        back.push_back(static_cast<std::uint8_t>(row[1 + i] + left));
      }
    }
    EXPECT_EQ(back, pixels);
  }
}

TEST_F(PngOutput, ScreenSizedCaptureKeepsItsDensity) {
  const Bytes pixels = make_pixels(2880, 1800, 4);
  const std::string file = path("capture.png");
  ASSERT_TRUE(write_png_file(pixels, 2880, 1800, PngColor::rgba, 192.0, file).ok());
  const Bytes png = read_file(file);
  const Expected<PngHeader> header = read_png_header(png);
  ASSERT_TRUE(header.ok()) << header.error();
  EXPECT_EQ(header->phys_x, 7559u);
  EXPECT_EQ(header->phys_y, 7559u);
  EXPECT_EQ(header->phys_unit, 1);
  const Expected<DecodedImage> back = decode_image_param(Json{{"data", base64_encode(png)}}, "image");
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back->dpi, 192.0);
  EXPECT_EQ(back->image.pixels, drop_alpha(pixels));
}

TEST_F(PngOutput, ReplacesAnExistingFileEntirely) {
  const std::string file = path("again.png");
  {
    std::ofstream out(file, std::ios::binary);
    out << std::string(1 << 20, 'x');
  }
  const Bytes pixels = make_pixels(4, 4, 3);
  ASSERT_TRUE(write_png_file(pixels, 4, 4, PngColor::rgb, 96.0, file).ok());
  const Bytes png = read_file(file);
  EXPECT_LT(png.size(), 1000u);
  EXPECT_EQ(testing::split_png(png).back().type, "IEND");
}

TEST_F(PngOutput, CreatesTheFileWithModeFromUmask) {
  const mode_t old = umask(022);
  const std::string file = path("mode.png");
  const Done written = write_png_file(make_pixels(2, 2, 3), 2, 2, PngColor::rgb, 96.0, file);
  umask(old);
  ASSERT_TRUE(written.ok()) << written.error();
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(PngOutput, Failures) {
  const Bytes pixels = make_pixels(2, 2, 3);

  const std::string missing = path("no-such-dir/capture.png");
  Done written = write_png_file(pixels, 2, 2, PngColor::rgb, 96.0, missing);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error(), "save_failed: No such file or directory (os error 2) (" + missing + ")");
  EXPECT_FALSE(std::filesystem::exists(path("no-such-dir")));

  // The path is shown as text, whatever bytes it holds.
  written = write_png_file(pixels, 2, 2, PngColor::rgb, 96.0, path("bad\xFFname/x.png"));
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error(), "save_failed: No such file or directory (os error 2) (" + path("bad\uFFFDname/x.png") + ")");

  // A write error from the system is reported, not taken for success.
  if (access("/dev/full", W_OK) == 0) {
    written = write_png_file(make_pixels(64, 64, 3), 64, 64, PngColor::rgb, 96.0, "/dev/full");
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error(), "save_failed: No space left on device (os error 28)");
  }

}

// Input that cannot make a PNG is refused before the file is touched: an
// existing file keeps its contents, a missing one is not created.
TEST_F(PngOutput, BadInputLeavesTheFileAlone) {
  const std::string existing = path("existing.png");
  std::ofstream(existing, std::ios::binary) << "old contents";
  const Bytes pixels = make_pixels(2, 2, 3);
  const struct {
    Bytes pixels;
    std::uint32_t width;
    std::uint32_t height;
    PngColor color;
    std::string error;
  } cases[] = {
      {pixels, 3, 2, PngColor::rgb, "save_failed: pixel buffer holds 12 bytes, expected 18 for 3x2"},
      {pixels, 2, 2, PngColor::rgba, "save_failed: pixel buffer holds 12 bytes, expected 16 for 2x2"},
      {{}, 0, 5, PngColor::rgba, "save_failed: a 0x5 image cannot be written as PNG"},
      {{}, 5, 0, PngColor::rgb, "save_failed: a 5x0 image cannot be written as PNG"},
      {{}, 0x80000000u, 1, PngColor::rgb, "save_failed: a 2147483648x1 image cannot be written as PNG"},
      {{}, 0x7FFFFFFFu, 0x7FFFFFFFu, PngColor::rgba,
       "save_failed: pixel buffer holds 0 bytes, expected 18446744056529682436 for 2147483647x2147483647"},
  };
  for (const auto& c : cases) {
    for (const std::string& target : {existing, path("new.png")}) {
      const Done written = write_png_file(c.pixels, c.width, c.height, c.color, 96.0, target);
      ASSERT_FALSE(written.ok()) << c.error;
      EXPECT_EQ(written.error(), c.error);
    }
    const Bytes kept = read_file(existing);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "old contents") << c.error;
    EXPECT_FALSE(std::filesystem::exists(path("new.png"))) << c.error;
  }
}

TEST_F(PngOutput, NulInPathFifoWithoutReaderAndHostStreamsFailWithoutWaiting) {
  const Bytes pixels = make_pixels(2, 2, 3);
  const std::string kept = path("kept.png");
  std::ofstream(kept, std::ios::binary) << "old contents";
  const std::string with_nul = kept + std::string(1, '\0') + "x";
  Done written = write_png_file(pixels, 2, 2, PngColor::rgb, 96.0, with_nul);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error(), "save_failed: file name contained an unexpected NUL byte (" + with_nul + ")");
  EXPECT_EQ(read_file(kept).size(), std::string("old contents").size());

  // Nobody reads this FIFO: opening it for writing would block for ever.
  const std::string fifo = path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  written = write_png_file(pixels, 2, 2, PngColor::rgb, 96.0, fifo);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error(), "save_failed: No such device or address (os error 6) (" + fifo + ")");

  // This process's standard output stands in for the host's.
  const std::string stdout_path = "/proc/self/fd/1";
  if (access(stdout_path.c_str(), W_OK) != 0) GTEST_SKIP() << "no writable standard output";
  written = write_png_file(pixels, 2, 2, PngColor::rgb, 96.0, stdout_path);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error(), "save_failed: Device or resource busy (os error 16) (" + stdout_path + ")");
}

}  // namespace
}  // namespace pelagon2::cv
