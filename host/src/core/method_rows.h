#pragma once
// A module's own table from method name to implementation.

#include <algorithm>
#include <span>
#include <string>
#include <string_view>

#include "core/json.h"
#include "core/outcome.h"

namespace pelagon2 {

struct MethodImplementation {
  std::string_view name;
  Outcome (*run)(const Json& params);
};

// Calls the row named `method`. The host's method table routes only names the
// module lists, so the fallback answer is the host's own unknown-method error.
inline Outcome call_method_row(std::span<const MethodImplementation> rows, std::string_view method,
                               const Json& params) {
  const auto row = std::find_if(rows.begin(), rows.end(), [&](const MethodImplementation& r) { return r.name == method; });
  if (row == rows.end()) return make_error("Unknown method: " + std::string(method));
  return row->run(params);
}

}  // namespace pelagon2
