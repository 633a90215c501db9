#pragma once
// Turns one parsed request into one reply envelope, routing the method by its
// exact name through the method table.

#include <span>
#include <string_view>

#include "core/json.h"
#include "main/method_rows.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2 {

inline constexpr std::string_view kHostVersion = "2.0.2";

struct MethodRow {
  std::string_view name;
  MethodFunction run;
};

// The methods the host answers, in table order. A name missing here gets the
// unknown-method error.
std::span<const MethodRow> method_table();

// Calls the implementation of `method`, or answers "Unknown method: {method}".
Outcome dispatch_method(std::string_view method, const Json& params, platform::Platform& platform);

// Never fails: every per-request error travels inside the reply.
Json handle_request(const Json& request, platform::Platform& platform);

}  // namespace pelagon2
