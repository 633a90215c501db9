#include "ocr/ocr_module.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base64.h"
#include "core/file_io.h"
#include "cv/png_input.h"

namespace pelagon2::ocr {
namespace {

const Json* member(const Json& params, const char* key) {
  if (!params.is_object()) return nullptr;
  const auto it = params.find(key);
  return it == params.end() ? nullptr : &*it;
}

// `content` wins whenever it is a string; `path` is read only without one.
Expected<std::vector<std::uint8_t>> image_bytes(const Json& params) {
  if (const Json* content = member(params, "content"); content != nullptr && content->is_string()) {
    Expected<std::vector<std::uint8_t>> bytes = base64_decode(content->get_ref<const std::string&>());
    if (!bytes) return make_error("bad_params: base64 decode failed: " + bytes.error());
    return bytes;
  }
  if (const Json* path = member(params, "path"); path != nullptr && path->is_string()) {
    const std::string& name = path->get_ref<const std::string&>();
    Expected<std::string> text = read_whole_file(name);
    if (!text) return make_error("read_failed: " + name + ": " + text.error());
    return std::vector<std::uint8_t>(text->begin(), text->end());
  }
  return make_error("bad_params: pass image bytes as 'content' (base64) or a 'path'");
}

}  // namespace

Json recognition_reply(std::span<const platform::RecognizedLine> lines, std::uint32_t width, std::uint32_t height) {
  const double w = width;
  const double h = height;
  std::string text;
  Json reply_lines = Json::array();
  bool first = true;
  for (const platform::RecognizedLine& line : lines) {
    if (!line.text) continue;
    if (!first) text += '\n';
    first = false;
    text += *line.text;
    // The box's top edge lies (1 - y - height) of the image's height below its top.
    const Json rect{{"x", line.x * w}, {"y", (1.0 - line.y - line.height) * h}, {"width", line.width * w},
                    {"height", line.height * h}};
    reply_lines.push_back(Json{{"text", *line.text}, {"words", Json::array({Json{{"text", *line.text}, {"rect", rect}}})}});
  }
  return Json{{"lines", std::move(reply_lines)}, {"text", std::move(text)}};
}

Outcome ocr_image(const Json& params, platform::Platform& platform) {
  Expected<std::vector<std::uint8_t>> bytes = image_bytes(params);
  if (!bytes) return std::move(bytes).take_error();

  // The recognizer gets the bytes as supplied; decoding gives the size that
  // turns its normalised boxes into pixels (and the pixels, for recognizers
  // that read those).
  Expected<vision_core::RgbImage> image = cv::decode_png_rgb(*bytes);
  if (!image) return make_error("bad_image: cannot decode: " + image.error());

  std::optional<std::string> language;
  if (const Json* value = member(params, "language"); value != nullptr && value->is_string()) {
    language = value->get<std::string>();
  }

  platform::Recognizer* recognizer = platform.recognizer.get();
  if (recognizer == nullptr) return make_error("ocr_failed: recognize: no text recognizer in this build");
  const platform::RecognitionImage input{*bytes, image->pixels, image->width, image->height};
  Expected<std::vector<platform::RecognizedLine>> lines = recognizer->recognize(input, language);
  if (!lines) return make_error("ocr_failed: recognize: " + lines.error());
  return recognition_reply(*lines, image->width, image->height);
}

Outcome ocr_language_list(const Json&, platform::Platform& platform) {
  platform::Recognizer* recognizer = platform.recognizer.get();
  if (recognizer == nullptr) return make_error("ocr_failed: languages: no text recognizer in this build");
  Expected<std::vector<std::string>> languages = recognizer->languages();
  if (!languages) return make_error("ocr_failed: languages: " + languages.error());
  Json list = Json::array();
  for (std::string& language : *languages) list.push_back(std::move(language));
  return list;
}

}  // namespace pelagon2::ocr
