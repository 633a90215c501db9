#pragma once
// Turns command-line words into request params and a reply into readable text.

#include <string>
#include <vector>

#include "core/json.h"
#include "core/outcome.h"

namespace pelagon2 {

// Each word is key=value. The value is JSON when it parses as JSON, text
// otherwise; "@path" inserts the file's bytes as base64. Dotted keys build
// nested objects: options.minSimilarity=0.9.
Expected<Json> build_params(const std::vector<std::string>& words);

// Indented JSON for people; numbers and strings keep their wire spelling.
std::string pretty_json(const Json& value);

}  // namespace pelagon2
