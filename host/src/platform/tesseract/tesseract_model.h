#pragma once
// The decisions of the Tesseract recognizer, kept apart from the engine so
// that they are tested on every machine: which library to load and how,
// language names, how the picture is prepared for the engine, and how its
// line boxes become the recognizer's normalised boxes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace pelagon2::platform::tess {

// ---- The engine library -----------------------------------------------------

// The engine lives in a library of its own beside the host executable, loaded
// on the first recognition request, so a host that never reads text neither
// maps Tesseract nor starts its thread pool.
inline constexpr std::string_view kEngineLibraryName = "libpelagon2_tesseract.so";
inline constexpr const char* kEngineFactorySymbol = "pelagon2_tesseract_recognizer";
// Raised whenever Recognizer or its records change shape: a library left over
// from another build refuses to be used instead of being called wrongly.
inline constexpr int kEngineInterfaceVersion = 1;
using EngineFactory = Recognizer* (*)(int interface_version);

// Path of the engine library beside `executable` (an absolute path).
std::string engine_library_path(std::string_view executable);

// The OpenMP runtime reads its thread limit once, when it is loaded with the
// engine; the host reads text on its one thread.
inline constexpr const char* kThreadLimitVariable = "OMP_THREAD_LIMIT";
inline constexpr const char* kThreadLimit = "1";

// ---- Languages --------------------------------------------------------------

// Tesseract's name for a language identifier as callers written for other
// recognizers send it (BCP-47: "en-US", "de-DE", "zh-Hans", "sr-Latn", also
// with '_' between the parts). Identifiers it does not know, Tesseract's own
// names ("eng", "chi_sim", "eng+deu") among them, come back unchanged.
std::string tesseract_language(std::string_view identifier);

// The language used when the caller names none.
inline constexpr std::string_view kDefaultLanguage = "eng";

// Whether `name` can be handed to the engine: it becomes part of a file path
// inside the engine's data folder, so nothing in it may leave that folder.
bool is_safe_language_name(std::string_view name);

// The installed languages that recognise text: the orientation and script
// detection data ("osd") reads none.
std::vector<std::string> text_languages(std::vector<std::string> installed);

// ---- The picture ------------------------------------------------------------

// The largest side the engine's coordinates (16-bit) can address.
inline constexpr std::uint32_t kMaxSide = 32767;
// The most pixels read at once: an 8K screen has 33 million. Preparing a
// picture takes several bytes per pixel on top of the engine's own copies.
inline constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 26;

struct GreyImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;  // row-major, packed
};

// Luminance of packed RGB (ITU-R BT.601 weights in 1/256).
GreyImage luminance(std::span<const std::uint8_t> rgb, std::uint32_t width, std::uint32_t height);

// The background under every pixel: the median of its row neighbourhood, then
// of the column neighbourhood of that, 2 * radius + 1 wide. Strokes thinner
// than the radius in either direction vanish; the edges and corners of flat
// panels stay where they are.
GreyImage median_background(const GreyImage& grey, std::uint32_t radius);

// Radius of the background median: strokes up to 10 px thick (bold text of
// about 70 px) still count as ink.
inline constexpr std::uint32_t kBackgroundRadius = 10;
// Distance from the first background estimate from which a pixel counts as
// ink and is left out of the second.
inline constexpr int kInkDistance = 16;
// Contrast gain on the distance from the background, in tenths.
inline constexpr int kInkGainTenths = 13;

// The picture as dark ink on white: every pixel's distance from its local
// background. Light text on a dark bar and dark text on a light page both
// become dark on white, and the panels themselves vanish, so the engine's
// page layout sees one polarity and no panel edges. The background is
// estimated twice, the second time without the pixels the first estimate
// calls ink, so dense text beside a panel's edge does not move the edge.
GreyImage ink_image(std::span<const std::uint8_t> rgb, std::uint32_t width, std::uint32_t height);

// A pixel rectangle [left, right) x [top, bottom).
struct PixelBox {
  std::int64_t left = 0, top = 0, right = 0, bottom = 0;
  std::int64_t height() const { return bottom - top; }
};

// Lines lower than this are read a second time from an enlarged crop: the
// engine misreads text much below 12 px at its own size (text of 8 to 11 px:
// 92 to 99 % of characters right, 99.6 to 100 % read at twice the size). Such
// lines' boxes are under 12 px high; so are those of somewhat larger text
// without descenders, which gains from the second reading too.
inline constexpr std::int64_t kSmallLineHeight = 12;
inline constexpr std::uint32_t kSmallLineScale = 2;

// The crop read again for a small line: its box with a margin, within the image.
PixelBox small_line_crop(const PixelBox& line, std::uint32_t width, std::uint32_t height);

// `box` of `image`, enlarged `factor` times by bilinear interpolation.
GreyImage enlarged_crop(const GreyImage& image, const PixelBox& box, std::uint32_t factor);

// ---- Results ----------------------------------------------------------------

// A line's text as the engine returns it, without the trailing line break and
// blanks; nullopt when nothing remains.
std::optional<std::string> line_text(const char* raw);

// A line with its pixel box (origin top-left) on a width x height picture, as
// the recognizer reports it: box normalised, origin bottom-left.
RecognizedLine normalised_line(std::optional<std::string> text, const PixelBox& box, std::uint32_t width,
                               std::uint32_t height);

}  // namespace pelagon2::platform::tess
