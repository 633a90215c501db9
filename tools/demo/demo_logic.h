#pragma once
// The parts of the desktop demo that decide or compute something: how a
// request and its reply are printed, the rectangles drawn onto the capture,
// whether the pointer and keyboard may be used, and what the demo window
// reported. Everything else in the demo only starts processes and sends
// requests.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"
#include "vision_core/image.h"

namespace pelagon2::demo {

struct Rect {
  std::int64_t x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};

struct Color {
  std::uint8_t r = 0, g = 0, b = 0;
};

// Draws the outline of `rect`, `thickness` pixels wide and lying inside the
// rectangle, clipped to the image. Empty rectangles draw nothing.
void draw_outline(vision_core::RgbImage& image, const Rect& rect, Color color, int thickness);

// `rect` moved by (-dx, -dy) and clipped to a width x height image; nullopt
// when nothing of it is left.
std::optional<Rect> clip_rect(const Rect& rect, std::int64_t dx, std::int64_t dy, std::uint32_t width,
                              std::uint32_t height);

// The request's params for printing: strings longer than 64 bytes (image
// data above all) are shown by their size only.
std::string short_params(const Json& params);

// One line about a reply: what it means for `method`, or the error message.
std::string summarize(std::string_view method, const Json& reply);

// "12.3 ms" below a second, "1.25 s" from there on.
std::string format_duration(double milliseconds);

// The matched rectangles of a search result ({"regions":[{"matchedRect":…}]}).
std::vector<Rect> region_rects(const Json& result);

// The line rectangles of an ocr_image result, rounded outwards to pixels.
std::vector<Rect> ocr_line_rects(const Json& result);

// The screen-pixel position of the capture's top-left pixel for a capture of
// width x height pixels: the display of get_display_list with that pixel size,
// the primary one among several, else (0, 0).
struct Point {
  std::int64_t x = 0, y = 0;
  bool operator==(const Point&) const = default;
};
Point capture_origin(const Json& display_list, std::uint32_t width, std::uint32_t height);

// The pixel at the middle of `rect` (rounded towards its top-left), and
// whether that pixel lies inside `target`.
Point centre(const Rect& rect);
bool centre_inside(const Rect& rect, const Rect& target);

// Whether the session may move the pointer and type.
enum class Consent {
  granted,      // our private screen, or the user said yes (or --yes)
  declined,     // the user answered anything but yes, or closed the input
  no_terminal,  // the user's screen, nobody to ask
};
// `answer` is the line read from the terminal (nullopt at end of input); it is
// only looked at when the screen is the user's, without --yes, on a terminal.
Consent decide_consent(bool own_screen, bool assume_yes, bool terminal, const std::optional<std::string>& answer);
// Whether decide_consent will look at an answer, i.e. the prompt is needed.
bool needs_prompt(bool own_screen, bool assume_yes, bool terminal);

// What the demo window said on its output, one line at a time:
//   window X Y W H      where the window is, in root pixels
//   button X Y W H      where its button is, in root pixels
//   focus               it has the keyboard focus
//   click B X Y HIT     a press of button B at root (X, Y); HIT 1 on the button
//   text UTF-8...       the field's contents after a change
struct WindowReport {
  std::optional<Rect> window;
  std::optional<Rect> button;
  bool focused = false;
  int button_clicks = 0;  // presses of the left button on the button
  int other_clicks = 0;
  std::string text;
  bool text_seen = false;
};
// Applies one line; false for a line it does not know (which changes nothing).
bool apply_window_line(WindowReport& report, std::string_view line);

// How recognised text compares with what was typed: found among its lines as
// typed, found once accents are set aside on both sides (the recognizer's
// model may not know them), or not found.
enum class ReadBack { exact, without_accents, missing };
ReadBack compare_read_back(std::string_view typed, std::string_view recognised);

// `text` with the accented Latin letters replaced by their base letters.
std::string without_accents(std::string_view text);

// The rectangle of `image` with the most contrast among the width x height
// cuts on a grid that lie within `area`, for a pattern when no window of ours
// is on the screen; nullopt when every cut is about one colour.
std::optional<Rect> textured_cut(const vision_core::RgbImage& image, std::uint32_t width, std::uint32_t height,
                                 const Rect& area);

vision_core::RgbImage crop(const vision_core::RgbImage& image, const Rect& rect);

}  // namespace pelagon2::demo
