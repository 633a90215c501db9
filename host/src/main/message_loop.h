#pragma once
// The framed request/reply loop: a 4-byte native-order length, then that many
// bytes of JSON, in both directions. One request at a time; each reply is
// flushed before the next frame is read.

#include <cstdio>
#include <optional>

#include "core/json.h"
#include "platform/platform.h"

namespace pelagon2 {

// Reads one frame and parses its body. nullopt when the input ends or fails
// inside the frame, or the body is not exactly one JSON value: all reasons to
// stop the loop.
std::optional<Json> read_request(std::FILE* in, JsonParser& parser);

// Runs until end of input, an input or output error, or a body that is not
// exactly one JSON value. Holds both streams' locks for the whole run.
void run_message_loop(std::FILE* in, std::FILE* out, platform::Platform& platform);

}  // namespace pelagon2
