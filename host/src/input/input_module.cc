#include "input/input_module.h"

#include "core/method_rows.h"

namespace pelagon2::input {
namespace {

// One row per method this module answers (the host's method table lists the
// same names).
constexpr PlatformMethodImplementation kInputMethods[] = {
    {"", nullptr},
};

}  // namespace

Outcome handle(std::string_view method, const Json& params, platform::Platform& platform) {
  return call_method_row(std::span(kInputMethods).subspan(1), method, params, platform);
}

}  // namespace pelagon2::input
