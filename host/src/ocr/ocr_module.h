#pragma once
// Text recognition requests: the caller's image handed to the platform's
// recognizer, its lines turned into text and pixel rectangles.

#include <cstdint>
#include <span>

#include "core/json.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::ocr {

// The method ocr_image: params `content` (base64) or `path`, optional `language`.
Outcome ocr_image(const Json& params, platform::Platform& platform);

// The method ocr_language_list: params ignored; a bare array of identifiers.
Outcome ocr_language_list(const Json& params, platform::Platform& platform);

// The reply of ocr_image for the recognizer's lines on a width x height image:
// lines without a candidate are left out, boxes become pixel rectangles with
// the origin at the top-left corner.
Json recognition_reply(std::span<const platform::RecognizedLine> lines, std::uint32_t width, std::uint32_t height);

}  // namespace pelagon2::ocr
