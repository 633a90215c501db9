#include "platform/tesseract/tesseract_model.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pelagon2::platform::tess {
namespace {

// ---- Languages ----

struct LanguageName {
  std::string_view code;  // BCP-47 primary language subtag, lower case
  std::string_view tesseract;
};

// Primary subtags (and the old aliases iw, in, mo) to Tesseract's names.
// Scripts that change the name are handled in tesseract_language().
constexpr LanguageName kLanguages[] = {
    {"af", "afr"},  {"am", "amh"},  {"ar", "ara"},  {"ars", "ara"}, {"as", "asm"},  {"az", "aze"},  {"be", "bel"},
    {"bg", "bul"},  {"bn", "ben"},  {"bo", "bod"},  {"br", "bre"},  {"bs", "bos"},  {"ca", "cat"},  {"chr", "chr"},
    {"co", "cos"},  {"cs", "ces"},  {"cy", "cym"},  {"da", "dan"},  {"de", "deu"},  {"dv", "div"},  {"dz", "dzo"},
    {"el", "ell"},  {"en", "eng"},  {"eo", "epo"},  {"es", "spa"},  {"et", "est"},  {"eu", "eus"},  {"fa", "fas"},
    {"fi", "fin"},  {"fil", "fil"}, {"fo", "fao"},  {"fr", "fra"},  {"fy", "fry"},  {"ga", "gle"},  {"gd", "gla"},
    {"gl", "glg"},  {"gu", "guj"},  {"he", "heb"},  {"hi", "hin"},  {"hr", "hrv"},  {"ht", "hat"},  {"hu", "hun"},
    {"hy", "hye"},  {"id", "ind"},  {"in", "ind"},  {"is", "isl"},  {"it", "ita"},  {"iu", "iku"},  {"iw", "heb"},
    {"ja", "jpn"},  {"jv", "jav"},  {"ka", "kat"},  {"kk", "kaz"},  {"km", "khm"},  {"kn", "kan"},  {"ko", "kor"},
    {"ku", "kmr"},  {"ky", "kir"},  {"la", "lat"},  {"lb", "ltz"},  {"lo", "lao"},  {"lt", "lit"},  {"lv", "lav"},
    {"mi", "mri"},  {"mk", "mkd"},  {"ml", "mal"},  {"mn", "mon"},  {"mo", "ron"},  {"mr", "mar"},  {"ms", "msa"},
    {"mt", "mlt"},  {"my", "mya"},  {"nb", "nor"},  {"ne", "nep"},  {"nl", "nld"},  {"nn", "nor"},  {"no", "nor"},
    {"oc", "oci"},  {"or", "ori"},  {"pa", "pan"},  {"pl", "pol"},  {"ps", "pus"},  {"pt", "por"},  {"qu", "que"},
    {"ro", "ron"},  {"ru", "rus"},  {"sa", "san"},  {"sd", "snd"},  {"si", "sin"},  {"sk", "slk"},  {"sl", "slv"},
    {"sq", "sqi"},  {"sr", "srp"},  {"su", "sun"},  {"sv", "swe"},  {"sw", "swa"},  {"syr", "syr"}, {"ta", "tam"},
    {"te", "tel"},  {"tg", "tgk"},  {"th", "tha"},  {"ti", "tir"},  {"tl", "tgl"},  {"to", "ton"},  {"tr", "tur"},
    {"tt", "tat"},  {"ug", "uig"},  {"uk", "ukr"},  {"ur", "urd"},  {"uz", "uzb"},  {"vi", "vie"},  {"yi", "yid"},
    {"yo", "yor"},
};

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string> subtags(std::string_view identifier) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= identifier.size(); ++i) {
    if (i == identifier.size() || identifier[i] == '-' || identifier[i] == '_') {
      parts.push_back(lower(identifier.substr(start, i - start)));
      start = i + 1;
    }
  }
  return parts;
}

bool all_alpha(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; });
}

// Chinese: the script decides; without one, the regions that write
// traditional characters do.
std::string chinese(const std::vector<std::string>& parts) {
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] == "hant") return "chi_tra";
    if (parts[i] == "hans") return "chi_sim";
  }
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] == "tw" || parts[i] == "hk" || parts[i] == "mo") return "chi_tra";
  }
  return "chi_sim";
}

bool has_subtag(const std::vector<std::string>& parts, std::string_view tag) {
  return std::find(parts.begin() + 1, parts.end(), tag) != parts.end();
}

// ---- Pictures ----

// How many leading bytes of `a` and `b` are equal, at most `n`; eight at a
// time, since screens are mostly flat.
std::int64_t equal_prefix(const std::uint8_t* a, const std::uint8_t* b, std::int64_t n) {
  std::int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x = 0, y = 0;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) break;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// A running histogram of 8-bit samples with its median: the smallest value
// with more than half the samples at or below it.
template <class Count>
struct RunningMedian {
  Count* histogram;  // 256 counts
  std::int32_t count = 0;
  std::int32_t median = 0;
  std::int32_t below = 0;  // samples smaller than `median`

  void enter(std::uint8_t v) {
    ++histogram[v];
    ++count;
    if (v < median) ++below;
  }
  void leave(std::uint8_t v) {
    --histogram[v];
    --count;
    if (v < median) --below;
  }
  std::uint8_t value() {
    const std::int32_t half = count / 2;
    while (below > half) {
      --median;
      below -= static_cast<std::int32_t>(histogram[median]);
    }
    while (below + static_cast<std::int32_t>(histogram[median]) <= half) {
      below += static_cast<std::int32_t>(histogram[median]);
      ++median;
    }
    return static_cast<std::uint8_t>(median);
  }
};

// Median of every window of 2 * radius + 1 samples along each row (clipped at
// the ends). With `counted`, only samples whose flag is set take part, and a
// window without any takes `fallback`'s value.
void median_rows(const GreyImage& in, std::uint32_t radius, GreyImage& out,
                 const std::vector<std::uint8_t>* counted = nullptr, const GreyImage* fallback = nullptr) {
  out.width = in.width;
  out.height = in.height;
  out.pixels.resize(in.pixels.size());
  const std::int64_t n = in.width;
  const std::int64_t r = radius;
  std::array<std::int32_t, 256> histogram{};
  for (std::uint32_t y = 0; y < in.height; ++y) {
    const std::size_t start = std::size_t{y} * in.width;
    const std::uint8_t* row = in.pixels.data() + start;
    const std::uint8_t* use = counted != nullptr ? counted->data() + start : nullptr;
    std::uint8_t* dst = out.pixels.data() + start;
    histogram.fill(0);
    RunningMedian<std::int32_t> window{histogram.data()};
    auto counts = [&](std::int64_t i) { return use == nullptr || use[i] != 0; };
    for (std::int64_t i = 0; i < std::min(n, r); ++i) {
      if (counts(i)) window.enter(row[i]);
    }
    for (std::int64_t x = 0; x < n; ++x) {
      if (x > r && x + r < n && window.count > 0) {
        // Where the sample coming in equals the one going out, the window
        // and its median stay as they were.
        std::int64_t same = equal_prefix(row + x + r, row + x - r - 1, n - r - x);
        if (use != nullptr) same = std::min(same, equal_prefix(use + x + r, use + x - r - 1, same));
        std::memset(dst + x, dst[x - 1], static_cast<std::size_t>(same));
        x += same;
        if (x >= n) break;
      }
      if (x + r < n && counts(x + r)) window.enter(row[x + r]);
      if (x - r - 1 >= 0 && counts(x - r - 1)) window.leave(row[x - r - 1]);
      dst[x] = window.count > 0 ? window.value() : fallback->pixels[start + static_cast<std::size_t>(x)];
    }
  }
}

// The same along each column, all columns at once row by row, so memory is
// walked in order.
void median_columns(const GreyImage& in, std::uint32_t radius, GreyImage& out) {
  out.width = in.width;
  out.height = in.height;
  out.pixels.resize(in.pixels.size());
  const std::int64_t n = in.height;
  const std::int64_t r = radius;
  const std::int64_t w = in.width;
  // 2 * radius + 1 samples fit 16-bit counts.
  std::vector<std::uint16_t> histograms(static_cast<std::size_t>(w) * 256);
  std::vector<RunningMedian<std::uint16_t>> windows;
  windows.reserve(static_cast<std::size_t>(w));
  for (std::int64_t x = 0; x < w; ++x) windows.push_back({histograms.data() + x * 256});
  auto row = [&](std::int64_t y) { return in.pixels.data() + y * w; };
  for (std::int64_t y = 0; y < std::min(n, r); ++y) {
    for (std::int64_t x = 0; x < w; ++x) windows[static_cast<std::size_t>(x)].enter(row(y)[x]);
  }
  for (std::int64_t y = 0; y < n; ++y) {
    const std::uint8_t* entering = y + r < n ? row(y + r) : nullptr;
    const std::uint8_t* leaving = y - r - 1 >= 0 ? row(y - r - 1) : nullptr;
    std::uint8_t* dst = out.pixels.data() + y * w;
    for (std::int64_t x = 0; x < w; ++x) {
      if (entering != nullptr && leaving != nullptr && y > 0) {
        const std::int64_t same = equal_prefix(entering + x, leaving + x, w - x);
        std::memcpy(dst + x, dst - w + x, static_cast<std::size_t>(same));
        x += same;
        if (x >= w) break;
      }
      RunningMedian<std::uint16_t>& window = windows[static_cast<std::size_t>(x)];
      if (entering != nullptr) window.enter(entering[x]);
      if (leaving != nullptr) window.leave(leaving[x]);
      dst[x] = window.value();
    }
  }
}

}  // namespace

std::string engine_library_path(std::string_view executable) {
  const std::size_t slash = executable.rfind('/');
  const std::string folder = slash == std::string_view::npos ? std::string(".") : std::string(executable.substr(0, slash));
  return folder + "/" + std::string(kEngineLibraryName);
}

std::string tesseract_language(std::string_view identifier) {
  const std::vector<std::string> parts = subtags(identifier);
  const std::string& primary = parts.front();
  if (primary.size() < 2 || primary.size() > 3 || !all_alpha(primary)) return std::string(identifier);
  if (primary == "zh" || primary == "yue") return chinese(parts);
  for (const LanguageName& entry : kLanguages) {
    if (entry.code != primary) continue;
    if (primary == "sr" && has_subtag(parts, "latn")) return "srp_latn";
    if (primary == "uz" && has_subtag(parts, "cyrl")) return "uzb_cyrl";
    if (primary == "az" && has_subtag(parts, "cyrl")) return "aze_cyrl";
    return std::string(entry.tesseract);
  }
  return std::string(identifier);
}

bool is_safe_language_name(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || c == '+' || c == '~' ||
           c == '/';
  });
}

std::vector<std::string> text_languages(std::vector<std::string> installed) {
  std::erase(installed, std::string("osd"));
  return installed;
}

GreyImage luminance(std::span<const std::uint8_t> rgb, std::uint32_t width, std::uint32_t height) {
  GreyImage grey;
  grey.width = width;
  grey.height = height;
  grey.pixels.resize(std::size_t{width} * height);
  for (std::size_t i = 0; i < grey.pixels.size(); ++i) {
    const std::uint8_t* p = rgb.data() + i * 3;
    grey.pixels[i] = static_cast<std::uint8_t>((p[0] * 77u + p[1] * 150u + p[2] * 29u + 128u) >> 8);
  }
  return grey;
}

GreyImage median_background(const GreyImage& grey, std::uint32_t radius) {
  GreyImage rows;
  median_rows(grey, radius, rows);
  GreyImage background;
  median_columns(rows, radius, background);
  return background;
}

GreyImage ink_image(std::span<const std::uint8_t> rgb, std::uint32_t width, std::uint32_t height) {
  GreyImage ink = luminance(rgb, width, height);
  // First estimate. Rows dense with glyphs (the middle of a line of bold
  // text) can still outvote a panel's colour along the row, and then the
  // column pass moves the panel's edge next to the text.
  GreyImage first_rows;
  median_rows(ink, kBackgroundRadius, first_rows);
  // Second estimate from the pixels the first one calls background only.
  // Each buffer goes as soon as it has served: a large picture holds several.
  std::vector<std::uint8_t> counted(ink.pixels.size());
  {
    GreyImage first;
    median_columns(first_rows, kBackgroundRadius, first);
    for (std::size_t i = 0; i < counted.size(); ++i) {
      counted[i] = std::abs(int{ink.pixels[i]} - int{first.pixels[i]}) < kInkDistance ? 1 : 0;
    }
  }
  GreyImage rows;
  median_rows(ink, kBackgroundRadius, rows, &counted, &first_rows);
  first_rows = GreyImage{};
  counted = std::vector<std::uint8_t>{};
  GreyImage background;
  median_columns(rows, kBackgroundRadius, background);
  rows = GreyImage{};
  for (std::size_t i = 0; i < ink.pixels.size(); ++i) {
    const int distance = std::abs(int{ink.pixels[i]} - int{background.pixels[i]}) * kInkGainTenths / 10;
    ink.pixels[i] = static_cast<std::uint8_t>(255 - std::min(255, distance));
  }
  return ink;
}

PixelBox small_line_crop(const PixelBox& line, std::uint32_t width, std::uint32_t height) {
  constexpr std::int64_t kMarginX = 4;
  constexpr std::int64_t kMarginY = 2;
  return PixelBox{std::max<std::int64_t>(0, line.left - kMarginX), std::max<std::int64_t>(0, line.top - kMarginY),
                  std::min<std::int64_t>(width, line.right + kMarginX),
                  std::min<std::int64_t>(height, line.bottom + kMarginY)};
}

GreyImage enlarged_crop(const GreyImage& image, const PixelBox& box, std::uint32_t factor) {
  GreyImage out;
  const std::int64_t left = std::clamp<std::int64_t>(box.left, 0, image.width);
  const std::int64_t top = std::clamp<std::int64_t>(box.top, 0, image.height);
  const std::int64_t right = std::clamp<std::int64_t>(box.right, left, image.width);
  const std::int64_t bottom = std::clamp<std::int64_t>(box.bottom, top, image.height);
  const std::int64_t w = right - left;
  const std::int64_t h = bottom - top;
  if (w == 0 || h == 0 || factor == 0) return out;
  out.width = static_cast<std::uint32_t>(w * factor);
  out.height = static_cast<std::uint32_t>(h * factor);
  out.pixels.resize(std::size_t{out.width} * out.height);
  auto at = [&](std::int64_t x, std::int64_t y) {
    x = std::clamp<std::int64_t>(x, 0, w - 1);
    y = std::clamp<std::int64_t>(y, 0, h - 1);
    return static_cast<double>(image.pixels[static_cast<std::size_t>((top + y) * image.width + left + x)]);
  };
  // Output pixel centres map back to (i + 0.5) / factor - 0.5 in the crop.
  for (std::uint32_t oy = 0; oy < out.height; ++oy) {
    const double sy = (oy + 0.5) / factor - 0.5;
    const double fy = std::floor(sy);
    const double wy = sy - fy;
    const auto y0 = static_cast<std::int64_t>(fy);
    for (std::uint32_t ox = 0; ox < out.width; ++ox) {
      const double sx = (ox + 0.5) / factor - 0.5;
      const double fx = std::floor(sx);
      const double wx = sx - fx;
      const auto x0 = static_cast<std::int64_t>(fx);
      const double value = (at(x0, y0) * (1 - wx) + at(x0 + 1, y0) * wx) * (1 - wy) +
                           (at(x0, y0 + 1) * (1 - wx) + at(x0 + 1, y0 + 1) * wx) * wy;
      out.pixels[std::size_t{oy} * out.width + ox] = static_cast<std::uint8_t>(std::lround(value));
    }
  }
  return out;
}

std::optional<std::string> line_text(const char* raw) {
  if (raw == nullptr) return std::nullopt;
  std::string text(raw);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r' || text.back() == '\t')) {
    text.pop_back();
  }
  if (text.empty()) return std::nullopt;
  return text;
}

RecognizedLine normalised_line(std::optional<std::string> text, const PixelBox& box, std::uint32_t width,
                               std::uint32_t height) {
  const double w = width;
  const double h = height;
  RecognizedLine line;
  line.text = std::move(text);
  line.x = static_cast<double>(box.left) / w;
  line.y = static_cast<double>(h - static_cast<double>(box.bottom)) / h;
  line.width = static_cast<double>(box.right - box.left) / w;
  line.height = static_cast<double>(box.bottom - box.top) / h;
  return line;
}

}  // namespace pelagon2::platform::tess
