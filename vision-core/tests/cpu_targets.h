#pragma once
// Runs a check once per CPU target the library was compiled for and this
// machine supports, forcing run-time dispatch onto that target.

#include <hwy/targets.h>

#include <cstdint>

namespace vision_core::testing {

// Calls `check(target_name)` per target; returns how many targets ran.
template <class Check>
int for_each_cpu_target(Check&& check) {
  const std::int64_t supported = hwy::SupportedTargets();
  int tried = 0;
  for (std::int64_t target = 1; target != 0 && target <= HWY_SCALAR; target <<= 1) {
    if (!(supported & target)) continue;
    hwy::SetSupportedTargetsForTest(target);
    ++tried;
    check(hwy::TargetName(target));
  }
  hwy::SetSupportedTargetsForTest(0);
  return tried;
}

}  // namespace vision_core::testing
