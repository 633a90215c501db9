#pragma once
// The one signature every method implementation is called through.

#include "core/json.h"
#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2 {

using MethodFunction = Outcome (*)(const Json& params, platform::Platform& platform);

// A method that reads only its parameters, called through MethodFunction.
template <Outcome (*Method)(const Json&)>
Outcome without_platform(const Json& params, platform::Platform&) {
  return Method(params);
}

}  // namespace pelagon2
