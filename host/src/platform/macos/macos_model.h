#pragma once
// The macOS backend's numbers and rules. They live here, outside the
// Objective-C++ files, so that every machine compiles and tests them; the .mm
// files only call the system, convert and return.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::platform::macos {

// ---- Displays ---------------------------------------------------------------

// The display list holds at most this many displays.
inline constexpr std::uint32_t kMaxActiveDisplays = 16;

// Entry of a screen's device description that holds its display number.
inline constexpr char kScreenNumberKey[] = "NSScreenNumber";

// ---- Windows ----------------------------------------------------------------

// Bundle identifiers of the supported browsers; their processes are collected
// in this order.
inline constexpr std::array<std::string_view, 5> kBrowserBundleIds = {
    "com.google.Chrome", "org.mozilla.firefox", "com.microsoft.edgemac", "com.brave.Browser", "org.chromium.Chromium",
};

// Window list options (bit values of the system's option set).
inline constexpr std::uint32_t kWindowListOnScreenOnly = 1u << 0;
inline constexpr std::uint32_t kWindowListExcludeDesktopElements = 1u << 4;
// The browser walk reads on-screen windows without the desktop's own.
inline constexpr std::uint32_t kBrowserWindowListOptions = kWindowListOnScreenOnly | kWindowListExcludeDesktopElements;

// ---- Capture ----------------------------------------------------------------

constexpr std::uint32_t four_char_code(char a, char b, char c, char d) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(d));
}

// Pixel format asked of the capture service: 8-bit blue, green, red, alpha.
inline constexpr std::uint32_t kPixelFormatBgra = four_char_code('B', 'G', 'R', 'A');

// The capture service answers through a completion handler on its own queue;
// the host waits this long for it before reporting that no image came.
inline constexpr std::chrono::milliseconds kCompletionTimeout{10'000};

// A side longer than this is not a display but a corrupt answer.
inline constexpr std::size_t kMaxCaptureSide = std::size_t{1} << 16;

// What the system reports about a display at capture time.
struct DisplayMode {
  double width_points = 0;
  double height_points = 0;
  std::uint64_t pixel_width = 0;  // 0 when the display has no mode
  std::uint64_t pixel_height = 0;
};

struct CaptureSize {
  std::size_t width = 0;
  std::size_t height = 0;
  friend bool operator==(const CaptureSize&, const CaptureSize&) = default;
};

// The display's native pixel size: its mode's pixels, else its points scaled by
// the mode's width factor, else its points. Nothing for an empty, non-finite or
// absurd size.
std::optional<CaptureSize> capture_pixel_size(const DisplayMode& mode);

// Bitmap layout bits of a captured image (the system's bitmap-info encoding).
inline constexpr std::uint32_t kAlphaInfoMask = 0x1F;
inline constexpr std::uint32_t kAlphaPremultipliedFirst = 2;
inline constexpr std::uint32_t kAlphaFirst = 4;
inline constexpr std::uint32_t kAlphaNoneSkipFirst = 6;
inline constexpr std::uint32_t kFloatComponents = 1u << 8;
inline constexpr std::uint32_t kByteOrderMask = 0x7000;
inline constexpr std::uint32_t kByteOrder32Little = 2u << 12;
inline constexpr std::uint32_t kPixelFormatMask = 0xF0000;  // 0: packed 8-bit components

// Byte order of a captured image's pixels, or nothing when its bytes are not
// 32-bit pixels stored blue, green, red, then alpha or an unused byte.
std::optional<PixelOrder> pixel_order_of(std::size_t bits_per_pixel, std::uint32_t bitmap_info);

// Error of a capture that produced no image, or an image whose bytes cannot be
// handed out as blue-green-red pixels.
inline constexpr std::string_view kNoImageError = "capture_failed: Failed to copy data";

// A captured image's geometry as the system reports it.
struct ImageLayout {
  std::size_t width = 0;
  std::size_t height = 0;
  std::size_t bytes_per_row = 0;
  PixelOrder order = PixelOrder::bgra;
};

// Copies an image's bytes into `buffer`, which is reused from one capture to the
// next, and describes them. Empty `bytes` (the image gave no data) stay empty.
Expected<RawCapture> keep_capture(std::vector<std::uint8_t>& buffer, std::span<const std::uint8_t> bytes,
                                  const ImageLayout& layout);

// ---- Text recognition -------------------------------------------------------

// Recognition level asked of the recognizer: accurate rather than fast.
inline constexpr std::int64_t kRecognitionLevelAccurate = 0;
// Error text when the recognizer fails without saying why.
inline constexpr std::string_view kRecognizerGaveNoReason = "the recognizer failed without a description";
// Error text when the language identifier cannot be handed to the recognizer.
inline constexpr std::string_view kLanguageNotText = "the language identifier is not valid UTF-8";

// ---- Settings ---------------------------------------------------------------

// The program that opens a settings address, found on the search path.
inline constexpr char kSettingsOpenProgram[] = "open";

}  // namespace pelagon2::platform::macos
