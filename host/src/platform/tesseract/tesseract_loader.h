#pragma once
// The recognizer of the Linux builds: Tesseract, loaded on first use.

#include <memory>

#include "platform/platform.h"

namespace pelagon2::platform::tess {

// Loads the engine library beside the executable on the first request that
// needs it (with the OpenMP thread limit in force while it loads) and hands
// every request to it from then on. Loading failures are reported per
// request, and the next request tries again.
std::unique_ptr<Recognizer> make_lazy_recognizer();

}  // namespace pelagon2::platform::tess
