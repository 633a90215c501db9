// The capture routine on a scripted platform: the permission gate, the target
// display, repacking of padded rows, channel order, failures, and the capture
// file of capture_desktop.

#include "cv/screen_capture.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "fakes/fake_platform.h"
#include "main/request_handler.h"
#include "screen/capture.h"
#include "support/temp_tree.h"
#include "testkit/png_file_reader.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2 {
namespace {

using platform::DisplayRecord;
using platform::PixelOrder;

constexpr const char* kDenied =
    "screen_recording_denied: macOS Screen Recording is not granted to pelagon2 \xE2\x80\x94 an Allow prompt was "
    "requested; approve it in System Settings > Privacy & Security > Screen & System Audio Recording, then retry";

using testing::display;

class ScopedTmpdir {
 public:
  explicit ScopedTmpdir(const char* value) {
    if (const char* old = std::getenv("TMPDIR")) saved_ = old, had_ = true;
    if (value) {
      setenv("TMPDIR", value, 1);
    } else {
      unsetenv("TMPDIR");
    }
  }
  ~ScopedTmpdir() {
    if (had_) {
      setenv("TMPDIR", saved_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

 private:
  std::string saved_;
  bool had_ = false;
};

testing::PngFile read_png(const std::string& path) { return testing::read_png_file(path).value_or(testing::PngFile{}); }

class ScreenCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_.displays_fake().list = std::vector<DisplayRecord>{display(7, 0, 0, 3, 2, 3, true)};
  }
  testing::FakeCapture& capture() { return platform_.capture_fake(); }

  testing::FakePlatform platform_;
};

TEST_F(ScreenCaptureTest, PermissionGateAsksOncePerRefusedCapture) {
  struct Case {
    bool preflight, request;
    bool captured;
  };
  const Case cases[] = {{true, false, true}, {false, true, true}, {false, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.preflight) + std::to_string(c.request));
    testing::FakePlatform platform;
    platform.displays_fake().list = std::vector<DisplayRecord>{display(7, 0, 0, 3, 2, 3, true)};
    platform.capture_fake().show(testing::noise_image(3, 2, 1));
    platform.capture_fake().preflight = c.preflight;
    platform.capture_fake().request = c.request;
    for (int attempt = 1; attempt <= 2; ++attempt) {
      const Expected<screen::CaptureRecord> record = screen::capture_display(platform);
      EXPECT_EQ(record.ok(), c.captured);
      if (!c.captured) {
        EXPECT_EQ(record.error(), kDenied);
      }
      EXPECT_EQ(platform.capture_fake().preflight_calls, attempt);
      EXPECT_EQ(platform.capture_fake().request_calls, c.preflight ? 0 : attempt);
    }
    // A refused capture asks nothing else of the system.
    EXPECT_EQ(platform.capture_fake().captured_ids.size(), c.captured ? 2u : 0u);
    if (!c.captured) {
      EXPECT_EQ(platform.displays_fake().list_calls, 0);
    }
  }
}

TEST_F(ScreenCaptureTest, RepacksPaddedRowsAndSwapsChannels) {
  vision_core::RgbImage image(3, 2);
  for (std::size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = static_cast<std::uint8_t>(10 + i);
  const std::vector<std::uint8_t> rgb_of_alpha = {10, 11, 12, 0x42, 13, 14, 15, 0x42, 16, 17, 18, 0x42,
                                                  19, 20, 21, 0x42, 22, 23, 24, 0x42, 25, 26, 27, 0x42};
  for (const std::size_t padding : {0u, 4u, 13u}) {
    SCOPED_TRACE(padding);
    capture().show(image, PixelOrder::bgra, padding, 0x42);
    Expected<screen::CaptureRecord> record = screen::capture_display(platform_);
    ASSERT_TRUE(record.ok()) << record.error();
    EXPECT_EQ(record->pixels, rgb_of_alpha);  // alpha kept as delivered
    EXPECT_EQ(record->width, 3u);
    EXPECT_EQ(record->height, 2u);

    capture().show(image, PixelOrder::bgrx, padding, 0x42);
    record = screen::capture_display(platform_);
    ASSERT_TRUE(record.ok()) << record.error();
    std::vector<std::uint8_t> opaque = rgb_of_alpha;
    for (std::size_t i = 3; i < opaque.size(); i += 4) opaque[i] = 255;
    EXPECT_EQ(record->pixels, opaque);
  }
}

TEST_F(ScreenCaptureTest, BothFormsMatchTheImageForEveryRowWidth) {
  // Widths around the vector lengths of every CPU target (16 to 64 pixels a
  // step) and their tails, with and without padding.
  std::vector<std::uint32_t> widths;
  for (std::uint32_t w = 1; w <= 18; ++w) widths.push_back(w);
  for (const std::uint32_t w : {31u, 32u, 33u, 63u, 64u, 65u, 127u, 128u, 129u, 200u}) widths.push_back(w);
  for (const std::uint32_t width : widths) {
    for (const std::size_t padding : {0u, 3u}) {
      SCOPED_TRACE(std::to_string(width) + " padding " + std::to_string(padding));
      testing::FakePlatform platform;
      platform.displays_fake().list = std::vector<DisplayRecord>{display(7, 0, 0, width, 3, width, true)};
      const vision_core::RgbImage image = testing::noise_image(width, 3, width);
      platform.capture_fake().show(image, PixelOrder::bgra, padding, 0x31);
      const Expected<screen::RgbCapture> rgb = screen::capture_display_rgb(platform);
      ASSERT_TRUE(rgb.ok()) << rgb.error();
      EXPECT_EQ(rgb->image.width, width);
      EXPECT_EQ(rgb->image.height, 3u);
      EXPECT_EQ(rgb->image.pixels, image.pixels);

      for (const PixelOrder order : {PixelOrder::bgra, PixelOrder::bgrx}) {
        platform.capture_fake().show(image, order, padding, 0x31);
        const Expected<screen::CaptureRecord> rgba = screen::capture_display(platform);
        ASSERT_TRUE(rgba.ok()) << rgba.error();
        std::vector<std::uint8_t> expected;
        for (std::size_t i = 0; i < image.pixels.size(); i += 3) {
          expected.insert(expected.end(), {image.pixels[i], image.pixels[i + 1], image.pixels[i + 2],
                                           order == PixelOrder::bgrx ? std::uint8_t{255} : std::uint8_t{0x31}});
        }
        EXPECT_EQ(rgba->pixels, expected);
      }
    }
  }
}

TEST_F(ScreenCaptureTest, RecordCarriesTheTargetDisplay) {
  platform_.displays_fake().list = std::vector<DisplayRecord>{display(1, 0, 0, 1920, 1080, 1920, true),
                                                               display(2, -1440, -100, 4, 1, 8)};
  platform_.windows_fake().pids = {5};
  platform::WindowRecord browser;
  browser.owner_pid = 5;
  browser.layer = 0;
  browser.x = -1440;
  browser.y = -100;
  browser.width = 3;
  browser.height = 1;
  platform_.windows_fake().windows = std::vector<platform::WindowRecord>{browser};
  capture().show(testing::noise_image(8, 2, 3));

  const Expected<screen::CaptureRecord> record = screen::capture_display(platform_);
  ASSERT_TRUE(record.ok()) << record.error();
  EXPECT_EQ(capture().captured_ids, std::vector<std::uint32_t>{2});
  EXPECT_EQ(record->display_id, 2u);
  EXPECT_EQ(record->origin_x, -1440);
  EXPECT_EQ(record->origin_y, -100);
  EXPECT_EQ(record->scale, 2.0);

  const Expected<screen::RgbCapture> rgb = screen::capture_display_rgb(platform_);
  ASSERT_TRUE(rgb.ok()) << rgb.error();
  EXPECT_EQ(rgb->dpi, 192.0);
  EXPECT_EQ(rgb->origin_x, -2880.0);
  EXPECT_EQ(rgb->origin_y, -200.0);
}

TEST_F(ScreenCaptureTest, FailuresNameTheirCause) {
  struct Case {
    const char* name;
    std::size_t bytes;  // of the delivered 3x2 frame, rows of `stride`
    std::size_t stride;
    std::optional<std::string> platform_error;
    std::string error;
  };
  const Case cases[] = {
      {"platform error", 32, 16, "XShmGetImage failed", "capture_failed: XShmGetImage failed"},
      {"no data", 0, 16, std::nullopt, "capture_failed: Failed to copy data"},
      {"one row short", 16, 16, std::nullopt, "capture_failed: RgbaImage::from_raw failed"},
      {"trailing partial row ignored", 28, 16, std::nullopt, "capture_failed: RgbaImage::from_raw failed"},
      {"rows shorter than the width", 24, 8, std::nullopt, "capture_failed: RgbaImage::from_raw failed"},
      {"zero stride", 24, 0, std::nullopt, "capture_failed: RgbaImage::from_raw failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture().show(testing::noise_image(3, 2, 9), PixelOrder::bgra, 4);
    capture().pixels.resize(c.bytes);
    capture().frame.bytes_per_row = c.stride;
    capture().error = c.platform_error;
    EXPECT_EQ(screen::capture_display(platform_).error(), c.error);
    EXPECT_EQ(screen::capture_display_rgb(platform_).error(), c.error);
  }
  // Exactly enough complete rows is enough, whatever follows.
  capture().error.reset();
  capture().show(testing::noise_image(3, 2, 9), PixelOrder::bgra, 4);
  capture().pixels.resize(32 + 7);
  EXPECT_TRUE(screen::capture_display(platform_).ok());
}

TEST_F(ScreenCaptureTest, DisplayErrorsComeBeforeTheCapture) {
  platform_.displays_fake().list = std::vector<DisplayRecord>{};
  EXPECT_EQ(screen::capture_display(platform_).error(), "capture_failed: no monitors");
  platform_.displays_fake().list = platform::display_list_error(1001);
  EXPECT_EQ(screen::capture_display_rgb(platform_).error(),
            "capture_failed: CGGetActiveDisplayList failed: CGError(1001)");
  EXPECT_TRUE(capture().captured_ids.empty());
  // Each capture asks for the displays again.
  EXPECT_EQ(platform_.displays_fake().list_calls, 2);
}

TEST(DefaultCapturePath, JoinsTheTemporaryDirectory) {
  struct Case {
    const char* tmpdir;
    const char* path;
  };
  const Case cases[] = {
      {"/var/folders/xy/T", "/var/folders/xy/T/tidewell_desktop_capture.png"},
      {"/var/folders/xy/T/", "/var/folders/xy/T/tidewell_desktop_capture.png"},
      {"/", "/tidewell_desktop_capture.png"},
      {"relative dir", "relative dir/tidewell_desktop_capture.png"},
      {nullptr, "/tmp/tidewell_desktop_capture.png"},  // no per-user directory on this system
      {"", "/tmp/tidewell_desktop_capture.png"},
  };
  for (const Case& c : cases) {
    ScopedTmpdir env(c.tmpdir);
    EXPECT_EQ(cv::default_capture_path(), c.path) << (c.tmpdir ? c.tmpdir : "(unset)");
  }
}

TEST(CaptureDesktop, WritesTheRetinaExampleAsRgbaWithItsDensity) {
  testing::TempTree tree;
  ScopedTmpdir env((tree.path() + "/").c_str());
  testing::FakePlatform platform;
  platform.displays_fake().list = std::vector<DisplayRecord>{display(1, 0, 0, 1440, 900, 2880, true)};
  const vision_core::RgbImage screen = testing::synthetic_screen(2880, 1800, 3);
  platform.capture_fake().show(screen, PixelOrder::bgrx, 64);

  // A path that is not a string counts as absent.
  const Outcome outcome = dispatch_method("capture_desktop", Json{{"path", 42}}, platform);
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  const std::string path = tree.path() + "/tidewell_desktop_capture.png";
  EXPECT_EQ(*outcome, Json(path));
  const testing::PngFile png = read_png(path);
  EXPECT_EQ(png.width, 2880u);
  EXPECT_EQ(png.height, 1800u);
  EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_RGBA);
  EXPECT_EQ(png.ppm_x, 7559u);
  EXPECT_EQ(png.ppm_y, 7559u);
  EXPECT_EQ(png.unit, PNG_RESOLUTION_METER);
  ASSERT_EQ(png.pixels.size(), screen.pixels.size() / 3 * 4);
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < std::size_t{2880} * 1800; ++i) {
    mismatches += png.pixels[i * 4] != screen.pixels[i * 3] || png.pixels[i * 4 + 1] != screen.pixels[i * 3 + 1] ||
                  png.pixels[i * 4 + 2] != screen.pixels[i * 3 + 2] || png.pixels[i * 4 + 3] != 255;
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(CaptureDesktop, PathsAndErrors) {
  testing::TempTree tree;
  ScopedTmpdir env(tree.path().c_str());
  testing::FakePlatform platform;
  platform.displays_fake().list = std::vector<DisplayRecord>{display(1, 0, 0, 4, 3, 4, true)};
  platform.capture_fake().show(testing::noise_image(4, 3, 8));

  const std::string named = tree.path() + "/shot.png";
  EXPECT_EQ(to_json_text(*dispatch_method("capture_desktop", Json{{"path", named}}, platform)),
            to_json_text(Json(named)));
  EXPECT_EQ(read_png(named).width, 4u);
  EXPECT_EQ(*dispatch_method("capture_desktop", Json(), platform), Json(tree.path() + "/tidewell_desktop_capture.png"));

  const std::string missing = tree.path() + "/no/such/dir/x.png";
  EXPECT_EQ(dispatch_method("capture_desktop", Json{{"path", missing}}, platform).error(),
            "save_failed: No such file or directory (os error 2) (" + missing + ")");
  EXPECT_EQ(dispatch_method("capture_desktop", Json{{"path", ""}}, platform).error(),
            "save_failed: No such file or directory (os error 2) ()");

  platform.capture_fake().preflight = false;
  platform.capture_fake().request = false;
  EXPECT_EQ(dispatch_method("capture_desktop", Json{{"path", named}}, platform).error(), kDenied);
  platform.capture_fake().preflight = true;
  platform.displays_fake().list = std::vector<DisplayRecord>{};
  EXPECT_EQ(dispatch_method("capture_desktop", Json{{"path", named}}, platform).error(), "capture_failed: no monitors");
}

TEST(CaptureDesktop, DefaultPathOutsideUtf8IsReportedLossily) {
  testing::TempTree tree;
  const std::string dir = tree.path() + "/caf\xE9";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ScopedTmpdir env(dir.c_str());
  testing::FakePlatform platform;
  platform.displays_fake().list = std::vector<DisplayRecord>{display(1, 0, 0, 2, 2, 2, true)};
  platform.capture_fake().show(testing::noise_image(2, 2, 8));
  const Outcome outcome = dispatch_method("capture_desktop", Json(), platform);
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ(*outcome, Json(tree.path() + "/caf\xEF\xBF\xBD/tidewell_desktop_capture.png"));
  EXPECT_EQ(read_png(dir + "/tidewell_desktop_capture.png").width, 2u);
}

}  // namespace
}  // namespace pelagon2
