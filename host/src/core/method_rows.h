#pragma once
// A module's own table from method name to implementation.

#include <algorithm>
#include <span>
#include <string>
#include <string_view>

#include "core/json.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2 {

struct MethodImplementation {
  std::string_view name;
  Outcome (*run)(const Json& params);
};

// A method that asks the operating system: it is handed the platform.
struct PlatformMethodImplementation {
  std::string_view name;
  Outcome (*run)(const Json& params, platform::Platform& platform);
};

// Calls the row named `method`. The host's method table routes only names the
// module lists, so the fallback answer is the host's own unknown-method error.
inline Outcome call_method_row(std::span<const MethodImplementation> rows, std::string_view method,
                               const Json& params) {
  const auto row = std::find_if(rows.begin(), rows.end(), [&](const MethodImplementation& r) { return r.name == method; });
  if (row == rows.end()) return make_error("Unknown method: " + std::string(method));
  return row->run(params);
}

inline Outcome call_method_row(std::span<const PlatformMethodImplementation> rows, std::string_view method,
                               const Json& params, platform::Platform& platform) {
  const auto row =
      std::find_if(rows.begin(), rows.end(), [&](const PlatformMethodImplementation& r) { return r.name == method; });
  if (row == rows.end()) return make_error("Unknown method: " + std::string(method));
  return row->run(params, platform);
}

}  // namespace pelagon2
