#include "tools/demo/demo_logic.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/utf8.h"

namespace pelagon2::demo {
namespace {

void fill(vision_core::RgbImage& image, std::int64_t left, std::int64_t top, std::int64_t right, std::int64_t bottom,
          Color color) {
  left = std::max<std::int64_t>(left, 0);
  top = std::max<std::int64_t>(top, 0);
  right = std::min<std::int64_t>(right, image.width);
  bottom = std::min<std::int64_t>(bottom, image.height);
  for (std::int64_t y = top; y < bottom; ++y) {
    std::uint8_t* p = &image.pixels[(static_cast<std::size_t>(y) * image.width + static_cast<std::size_t>(left)) * 3];
    for (std::int64_t x = left; x < right; ++x, p += 3) {
      p[0] = color.r;
      p[1] = color.g;
      p[2] = color.b;
    }
  }
}

// A JSON integer (any kind) or a rounded double; nullopt for anything else.
std::optional<std::int64_t> integer_of(const Json& value) {
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (!std::isfinite(d) || std::fabs(d) > 9e18) return std::nullopt;
    return static_cast<std::int64_t>(std::llround(d));
  }
  return std::nullopt;
}

std::optional<Rect> rect_of(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  const auto x = integer_of(value.value("x", Json()));
  const auto y = integer_of(value.value("y", Json()));
  const auto w = integer_of(value.value("width", Json()));
  const auto h = integer_of(value.value("height", Json()));
  if (!x || !y || !w || !h) return std::nullopt;
  return Rect{*x, *y, *w, *h};
}

std::string size_text(std::size_t bytes) {
  char buffer[48];
  if (bytes < 1024) {
    std::snprintf(buffer, sizeof buffer, "<%zu bytes>", bytes);
  } else if (bytes < 1024 * 1024) {
    std::snprintf(buffer, sizeof buffer, "<%.1f KiB>", static_cast<double>(bytes) / 1024.0);
  } else {
    std::snprintf(buffer, sizeof buffer, "<%.1f MiB>", static_cast<double>(bytes) / (1024.0 * 1024.0));
  }
  return buffer;
}

Json shortened(const Json& value) {
  if (value.is_string()) {
    const std::string& s = value.get_ref<const std::string&>();
    return s.size() > 64 ? Json(size_text(s.size())) : value;
  }
  if (value.is_object()) {
    Json out = Json::object();
    for (const auto& [key, member] : value.items()) out[key] = shortened(member);
    return out;
  }
  if (value.is_array()) {
    Json out = Json::array();
    for (const Json& element : value) out.push_back(shortened(element));
    return out;
  }
  return value;
}

// At most `limit` bytes of `text`, cut at a character boundary, with "…" when cut.
std::string clipped(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "\u2026";
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string rect_text(const Rect& r) {
  return std::to_string(r.width) + "x" + std::to_string(r.height) + " at (" + std::to_string(r.x) + "," +
         std::to_string(r.y) + ")";
}

std::string search_summary(const Json& result) {
  std::string out;
  const Json regions = result.value("regions", Json::array());
  if (result.value("found", true) == false) {
    out = "not found";
  } else if (!regions.is_array() || regions.empty()) {
    out = "no match";
  } else {
    const std::optional<Rect> best = rect_of(regions[0].value("matchedRect", Json()));
    char score[32] = "?";
    const Json s = regions[0].value("score", Json());
    if (s.is_number()) std::snprintf(score, sizeof score, "%.3f", s.get<double>());
    out = regions.size() == 1 ? "1 match: " : std::to_string(regions.size()) + " matches, best ";
    out += (best ? rect_text(*best) : std::string("?")) + ", score " + score;
  }
  if (result.contains("elapsedMs")) out += " after " + result["elapsedMs"].dump() + " ms";
  if (result.value("capturePath", Json()).is_string()) {
    out += ", capture in " + result["capturePath"].get<std::string>();
  }
  return out;
}

std::string displays_summary(const Json& result) {
  if (!result.is_array()) return clipped(to_json_text(result), 100);
  if (result.empty()) return "no displays";
  std::string out = std::to_string(result.size()) + (result.size() == 1 ? " display: " : " displays: ");
  bool first = true;
  for (const Json& d : result) {
    if (!first) out += "; ";
    first = false;
    const Json scale = d.value("scaleFactor", Json());
    char scale_text[32] = "?";
    if (scale.is_number()) std::snprintf(scale_text, sizeof scale_text, "%g", scale.get<double>());
    const std::optional<Rect> r = rect_of(d);
    out += (r ? rect_text(*r) : std::string("?")) + " scale " + scale_text;
    if (d.value("isPrimary", false) == true) out += " (primary)";
  }
  return clipped(out, 160);
}

std::string ocr_summary(const Json& result) {
  const Json lines = result.value("lines", Json::array());
  if (!lines.is_array() || lines.empty()) return "no text";
  std::string out = std::to_string(lines.size()) + (lines.size() == 1 ? " line: " : " lines: ");
  bool first = true;
  for (const Json& line : lines) {
    if (!first) out += " | ";
    first = false;
    out += quoted(line.value("text", std::string()));
  }
  return clipped(out, 160);
}

std::string process_summary(const Json& result) {
  const Json code = result.value("exitCode", Json());
  std::string out = code.is_null() ? (result.contains("stdout") ? "ended by a signal" : "started") : "exit " + code.dump();
  std::string stdout_text = result.value("stdout", std::string());
  while (!stdout_text.empty() && (stdout_text.back() == '\n' || stdout_text.back() == '\r')) stdout_text.pop_back();
  if (!stdout_text.empty()) out += ", stdout " + quoted(clipped(stdout_text, 80));
  return out;
}

}  // namespace

void draw_outline(vision_core::RgbImage& image, const Rect& rect, Color color, int thickness) {
  if (rect.width <= 0 || rect.height <= 0 || thickness <= 0) return;
  const std::int64_t tx = std::min<std::int64_t>(thickness, rect.width);
  const std::int64_t ty = std::min<std::int64_t>(thickness, rect.height);
  const std::int64_t right = rect.x + rect.width;
  const std::int64_t bottom = rect.y + rect.height;
  fill(image, rect.x, rect.y, right, rect.y + ty, color);
  fill(image, rect.x, bottom - ty, right, bottom, color);
  fill(image, rect.x, rect.y, rect.x + tx, bottom, color);
  fill(image, right - tx, rect.y, right, bottom, color);
}

std::optional<Rect> clip_rect(const Rect& rect, std::int64_t dx, std::int64_t dy, std::uint32_t width,
                              std::uint32_t height) {
  const std::int64_t left = std::max<std::int64_t>(rect.x - dx, 0);
  const std::int64_t top = std::max<std::int64_t>(rect.y - dy, 0);
  const std::int64_t right = std::min<std::int64_t>(rect.x - dx + rect.width, width);
  const std::int64_t bottom = std::min<std::int64_t>(rect.y - dy + rect.height, height);
  if (right <= left || bottom <= top) return std::nullopt;
  return Rect{left, top, right - left, bottom - top};
}

std::string short_params(const Json& params) { return to_json_text(shortened(params)); }

std::string summarize(std::string_view method, const Json& reply) {
  if (reply.contains("error")) {
    const Json message = reply["error"].value("message", Json());
    return "error: " + (message.is_string() ? message.get<std::string>() : to_json_text(reply["error"]));
  }
  if (!reply.contains("result")) return "no result: " + clipped(to_json_text(reply), 100);
  const Json& result = reply["result"];
  if (method == "search_desktop" || method == "search_image" || method == "wait_for_image") {
    return search_summary(result);
  }
  if (method == "get_display_list") return displays_summary(result);
  if (method == "capture_desktop" && result.is_string()) return "wrote " + result.get<std::string>();
  if (method == "ocr_image") return ocr_summary(result);
  if (method == "run_process" && result.is_object()) return process_summary(result);
  if (result == Json(true)) return "done";
  return clipped(to_json_text(result), 100);
}

std::string format_duration(double milliseconds) {
  char buffer[32];
  if (milliseconds < 1000.0) {
    std::snprintf(buffer, sizeof buffer, "%.1f ms", milliseconds);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.2f s", milliseconds / 1000.0);
  }
  return buffer;
}

std::vector<Rect> region_rects(const Json& result) {
  std::vector<Rect> out;
  const Json regions = result.is_object() ? result.value("regions", Json()) : Json();
  if (!regions.is_array()) return out;
  for (const Json& region : regions) {
    if (!region.is_object()) continue;
    if (const std::optional<Rect> r = rect_of(region.value("matchedRect", Json()))) out.push_back(*r);
  }
  return out;
}

std::vector<Rect> ocr_line_rects(const Json& result) {
  std::vector<Rect> out;
  const Json lines = result.is_object() ? result.value("lines", Json()) : Json();
  if (!lines.is_array()) return out;
  for (const Json& line : lines) {
    const Json words = line.is_object() ? line.value("words", Json()) : Json();
    if (!words.is_array()) continue;
    for (const Json& word : words) {
      const Json rect = word.is_object() ? word.value("rect", Json()) : Json();
      if (!rect.is_object()) continue;
      const Json x = rect.value("x", Json()), y = rect.value("y", Json());
      const Json w = rect.value("width", Json()), h = rect.value("height", Json());
      if (!x.is_number() || !y.is_number() || !w.is_number() || !h.is_number()) continue;
      const double left = std::floor(x.get<double>()), top = std::floor(y.get<double>());
      const double right = std::ceil(x.get<double>() + w.get<double>());
      const double bottom = std::ceil(y.get<double>() + h.get<double>());
      constexpr double kLimit = 1e9;  // far beyond any screen; keeps the casts defined
      if (!(std::fabs(left) < kLimit && std::fabs(top) < kLimit && std::fabs(right) < kLimit &&
            std::fabs(bottom) < kLimit)) {
        continue;
      }
      out.push_back(Rect{static_cast<std::int64_t>(left), static_cast<std::int64_t>(top),
                         static_cast<std::int64_t>(right - left), static_cast<std::int64_t>(bottom - top)});
    }
  }
  return out;
}

Point capture_origin(const Json& display_list, std::uint32_t width, std::uint32_t height) {
  if (!display_list.is_array()) return {};
  const Json* chosen = nullptr;
  for (const Json& d : display_list) {
    if (!d.is_object()) continue;
    if (integer_of(d.value("physicalWidth", Json())) != std::int64_t{width} ||
        integer_of(d.value("physicalHeight", Json())) != std::int64_t{height}) {
      continue;
    }
    if (chosen == nullptr || (d.value("isPrimary", false) == true && chosen->value("isPrimary", false) != true)) {
      chosen = &d;
    }
  }
  if (chosen == nullptr) return {};
  const Json scale_value = chosen->value("scaleFactor", Json());
  const double scale = scale_value.is_number() ? scale_value.get<double>() : 1.0;
  const auto x = integer_of(chosen->value("x", Json())), y = integer_of(chosen->value("y", Json()));
  if (!x || !y || !std::isfinite(scale)) return {};
  return Point{std::llround(static_cast<double>(*x) * scale), std::llround(static_cast<double>(*y) * scale)};
}

Point centre(const Rect& rect) { return Point{rect.x + rect.width / 2, rect.y + rect.height / 2}; }

bool centre_inside(const Rect& rect, const Rect& target) {
  const Point c = centre(rect);
  return c.x >= target.x && c.x < target.x + target.width && c.y >= target.y && c.y < target.y + target.height;
}

Consent decide_consent(bool own_screen, bool assume_yes, bool terminal, const std::optional<std::string>& answer) {
  if (!own_screen || assume_yes) return Consent::granted;
  if (!terminal) return Consent::no_terminal;
  if (!answer) return Consent::declined;
  std::string word;
  for (const char c : *answer) {
    if (!std::isspace(static_cast<unsigned char>(c))) word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return word == "y" || word == "yes" ? Consent::granted : Consent::declined;
}

bool needs_prompt(bool own_screen, bool assume_yes, bool terminal) { return own_screen && !assume_yes && terminal; }

bool apply_window_line(WindowReport& report, std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line == "text" || line.rfind("text ", 0) == 0) {
    report.text = std::string(line.substr(line.size() > 4 ? 5 : 4));
    report.text_seen = true;
    return true;
  }
  if (line == "focus") {
    report.focused = true;
    return true;
  }
  const std::string copy(line);
  char word[16] = {};
  long long a = 0, b = 0, c = 0, d = 0;
  char tail = 0;
  // The %c catches anything after the last number, which makes the line unknown.
  const int n = std::sscanf(copy.c_str(), "%15s %lld %lld %lld %lld %c", word, &a, &b, &c, &d, &tail);
  const std::string kind = word;
  if (n == 5 && (kind == "window" || kind == "button")) {
    if (c <= 0 || d <= 0) return false;
    (kind == "window" ? report.window : report.button) = Rect{a, b, c, d};
    return true;
  }
  if (n == 5 && kind == "click" && (d == 0 || d == 1)) {
    if (a == 1 && d == 1) {
      ++report.button_clicks;
    } else {
      ++report.other_clicks;
    }
    return true;
  }
  return false;
}

std::string without_accents(std::string_view text) {
  // Latin-1 letters U+00C0..U+00FF by their base letter; '\0' keeps the character.
  static constexpr char kBase[] =
      "AAAAAAACEEEEIIII"
      "DNOOOOO\0OUUUUY\0s"
      "aaaaaaaceeeeiiii"
      "\0nooooo\0ouuuuy\0y";
  std::string out;
  for (const char32_t c : utf8_code_points(text)) {
    if (c >= 0xC0 && c <= 0xFF && kBase[c - 0xC0] != '\0') {
      out += kBase[c - 0xC0];
    } else {
      append_utf8(out, c);
    }
  }
  return out;
}

ReadBack compare_read_back(std::string_view typed, std::string_view recognised) {
  if (typed.empty()) return ReadBack::missing;
  if (recognised.find(typed) != std::string_view::npos) return ReadBack::exact;
  if (without_accents(recognised).find(without_accents(typed)) != std::string::npos) return ReadBack::without_accents;
  return ReadBack::missing;
}

std::optional<Rect> textured_cut(const vision_core::RgbImage& image, std::uint32_t width, std::uint32_t height,
                                 const Rect& area) {
  const std::optional<Rect> inside = clip_rect(area, 0, 0, image.width, image.height);
  if (!inside || width == 0 || height == 0 || width > inside->width || height > inside->height) return std::nullopt;
  const auto area_right = static_cast<std::uint32_t>(inside->x + inside->width);
  const auto area_bottom = static_cast<std::uint32_t>(inside->y + inside->height);
  const std::uint32_t step_x = std::max<std::uint32_t>(8, width / 2);
  const std::uint32_t step_y = std::max<std::uint32_t>(8, height / 2);
  double best = 0.0;
  std::optional<Rect> chosen;
  for (auto top = static_cast<std::uint32_t>(inside->y); top + height <= area_bottom; top += step_y) {
    for (auto left = static_cast<std::uint32_t>(inside->x); left + width <= area_right; left += step_x) {
      // Every other pixel in both directions is plenty to judge the contrast.
      double sum[3] = {}, squares[3] = {};
      double n = 0;
      for (std::uint32_t y = top; y < top + height; y += 2) {
        const std::uint8_t* p = &image.pixels[(std::size_t{y} * image.width + left) * 3];
        for (std::uint32_t x = 0; x < width; x += 2, p += 6) {
          for (int ch = 0; ch < 3; ++ch) {
            sum[ch] += p[ch];
            squares[ch] += static_cast<double>(p[ch]) * p[ch];
          }
          n += 1;
        }
      }
      double variance = 0;
      for (int ch = 0; ch < 3; ++ch) variance += squares[ch] / n - (sum[ch] / n) * (sum[ch] / n);
      if (variance > best) {
        best = variance;
        chosen = Rect{left, top, width, height};
      }
    }
  }
  // Below this the cut is one colour with noise: nothing a search could tell apart.
  if (best < 25.0) return std::nullopt;
  return chosen;
}

vision_core::RgbImage crop(const vision_core::RgbImage& image, const Rect& rect) {
  const std::optional<Rect> inside = clip_rect(rect, 0, 0, image.width, image.height);
  if (!inside) return {};
  vision_core::RgbImage out(static_cast<std::uint32_t>(inside->width), static_cast<std::uint32_t>(inside->height));
  const std::size_t row_bytes = out.width * std::size_t{3};
  for (std::uint32_t y = 0; y < out.height; ++y) {
    const std::size_t from = ((static_cast<std::size_t>(inside->y) + y) * image.width + static_cast<std::size_t>(inside->x)) * 3;
    std::copy_n(image.pixels.begin() + static_cast<std::ptrdiff_t>(from), row_bytes,
                out.pixels.begin() + static_cast<std::ptrdiff_t>(y * row_bytes));
  }
  return out;
}

}  // namespace pelagon2::demo
