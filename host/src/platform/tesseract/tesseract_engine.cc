// The Tesseract recognizer, built as a library of its own and loaded by the
// host on the first recognition request (tesseract_loader.cc). Everything it
// decides comes from tesseract_model.h; this file calls the engine and
// converts.
#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/tesseract/tesseract_model.h"

namespace pelagon2::platform::tess {
namespace {

// The engine writes its messages to this file instead of the standard error
// stream, which the host never writes to.
constexpr const char* kMessageSink = "/dev/null";

// Screen text is set at one pixel per point.
constexpr int kSourceDpi = 96;

struct Line {
  std::optional<std::string> text;
  PixelBox box;
};

class TesseractRecognizer final : public Recognizer {
 public:
  Expected<std::vector<RecognizedLine>> recognize(const RecognitionImage& image,
                                                  const std::optional<std::string>& language) override {
    try {
      Expected<std::vector<RecognizedLine>> lines = read_lines(image, language);
      if (api_) api_->Clear();  // the picture and its results go; the loaded language stays
      return lines;
    } catch (const std::bad_alloc&) {
      if (api_) api_->Clear();
      return make_error("out of memory");
    } catch (const std::exception& e) {
      if (api_) api_->Clear();
      return make_error(e.what());
    }
  }

  Expected<std::vector<std::string>> languages() override {
    try {
      if (!api_) {
        Done loaded = use_language(std::string(kDefaultLanguage));
        if (!loaded) return std::move(loaded).take_error();
      }
      return text_languages(installed());
    } catch (const std::exception& e) {
      return make_error(e.what());
    }
  }

 private:
  std::vector<std::string> installed() const {
    std::vector<std::string> names;
    if (api_) api_->GetAvailableLanguagesAsVector(&names);
    return names;
  }

  // Keeps the engine of the last language: loading one takes longer than
  // reading a screen, and callers keep to one language.
  Done use_language(const std::string& language) {
    if (api_ && api_language_ == language) return std::monostate{};
    auto api = std::make_unique<::tesseract::TessBaseAPI>();
    api->SetVariable("debug_file", kMessageSink);
    if (api->Init(nullptr, language.c_str(), ::tesseract::OEM_LSTM_ONLY) != 0) {
      std::string message = "cannot load the language '" + language + "'";
      const std::vector<std::string> known = text_languages(installed());
      if (!known.empty()) {
        message += " (installed:";
        for (const std::string& name : known) message += " " + name;
        message += ")";
      }
      return make_error(std::move(message));
    }
    // Screens hold scattered labels and panels, not pages of running text.
    api->SetPageSegMode(::tesseract::PSM_SPARSE_TEXT);
    // The prepared picture is always dark on light.
    api->SetVariable("tessedit_do_invert", "0");
    api_ = std::move(api);
    api_language_ = language;
    return std::monostate{};
  }

  Expected<std::vector<RecognizedLine>> read_lines(const RecognitionImage& image,
                                                   const std::optional<std::string>& language) {
    const std::uint32_t width = image.width;
    const std::uint32_t height = image.height;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (width > kMaxSide || height > kMaxSide) {
      return make_error("the image is " + size + " pixels; at most " + std::to_string(kMaxSide) +
                        " per side can be read");
    }
    if (std::uint64_t{width} * height > kMaxPixels) {
      return make_error("the image is " + size + " pixels; at most " + std::to_string(kMaxPixels) +
                        " pixels can be read");
    }
    if (image.rgb.size() != std::size_t{width} * height * 3) return make_error("pixels do not match the image size");
    const std::string name = language ? tesseract_language(*language) : std::string(kDefaultLanguage);
    if (!is_safe_language_name(name)) return make_error("unsupported language identifier '" + name + "'");
    Done loaded = use_language(name);
    if (!loaded) return std::move(loaded).take_error();
    if (width == 0 || height == 0) return std::vector<RecognizedLine>{};

    const GreyImage ink = ink_image(image.rgb, width, height);
    api_->SetPageSegMode(::tesseract::PSM_SPARSE_TEXT);
    api_->SetImage(ink.pixels.data(), static_cast<int>(width), static_cast<int>(height), 1, static_cast<int>(width));
    api_->SetSourceResolution(kSourceDpi);
    if (api_->Recognize(nullptr) != 0) return make_error("recognition failed");

    std::vector<Line> lines;
    const std::unique_ptr<::tesseract::ResultIterator> it(api_->GetIterator());
    if (it) {
      do {
        if (it->Empty(::tesseract::RIL_TEXTLINE)) continue;
        Line line;
        const std::unique_ptr<char[]> text(it->GetUTF8Text(::tesseract::RIL_TEXTLINE));
        line.text = line_text(text.get());
        int left = 0, top = 0, right = 0, bottom = 0;
        if (!it->BoundingBox(::tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom)) continue;
        line.box = PixelBox{left, top, right, bottom};
        lines.push_back(std::move(line));
      } while (it->Next(::tesseract::RIL_TEXTLINE));
    }
    for (Line& line : lines) {
      if (line.text && line.box.height() < kSmallLineHeight) reread_enlarged(ink, line);
    }

    std::vector<RecognizedLine> out;
    out.reserve(lines.size());
    for (Line& line : lines) out.push_back(normalised_line(std::move(line.text), line.box, width, height));
    return out;
  }

  // Small text is read again at twice its size, as the one line it is.
  void reread_enlarged(const GreyImage& ink, Line& line) {
    const GreyImage crop = enlarged_crop(ink, small_line_crop(line.box, ink.width, ink.height), kSmallLineScale);
    if (crop.pixels.empty()) return;
    api_->SetPageSegMode(::tesseract::PSM_SINGLE_LINE);
    api_->SetImage(crop.pixels.data(), static_cast<int>(crop.width), static_cast<int>(crop.height), 1,
                   static_cast<int>(crop.width));
    api_->SetSourceResolution(kSourceDpi * static_cast<int>(kSmallLineScale));
    const std::unique_ptr<char[]> text(api_->GetUTF8Text());
    if (std::optional<std::string> again = line_text(text.get())) line.text = std::move(again);
  }

  std::unique_ptr<::tesseract::TessBaseAPI> api_;
  std::string api_language_;
};

}  // namespace
}  // namespace pelagon2::platform::tess

// The library's one entry point; nullptr when the host was built against
// another shape of the recognizer interface.
extern "C" __attribute__((visibility("default"))) pelagon2::platform::Recognizer* pelagon2_tesseract_recognizer(
    int interface_version) {
  if (interface_version != pelagon2::platform::tess::kEngineInterfaceVersion) return nullptr;
  // Leptonica reports to the standard error stream unless told otherwise.
  setMsgSeverity(L_SEVERITY_NONE);
  try {
    return new pelagon2::platform::tess::TesseractRecognizer();
  } catch (...) {
    return nullptr;
  }
}
