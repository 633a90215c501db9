#include "cv/cv_module.h"

#include <algorithm>
#include <string>

#include "cv/image_input.h"
#include "cv/search_methods.h"

namespace pelagon2::cv {
namespace {

struct CvMethod {
  std::string_view name;
  Outcome (*run)(const Json& params);
};

// One row per method this module answers (the host's method table lists the
// same names).
constexpr CvMethod kCvMethods[] = {
    {"get_image_info", get_image_info},
    {"search_image", search_image},
    {"search_relative", search_relative},
};

}  // namespace

Outcome handle(std::string_view method, const Json& params) {
  const auto* row = std::find_if(std::begin(kCvMethods), std::end(kCvMethods),
                                 [&](const CvMethod& m) { return m.run != nullptr && m.name == method; });
  if (row == std::end(kCvMethods)) return make_error("Unknown method: " + std::string(method));
  return row->run(params);
}

}  // namespace pelagon2::cv
