#pragma once
// The framed request/reply loop: a 4-byte native-order length, then that many
// bytes of JSON, in both directions. One request at a time; each reply is
// flushed before the next frame is read.

#include <cstdio>

namespace pelagon2 {

// Runs until end of input, an input or output error, or a body that is not
// exactly one JSON value. Holds both streams' locks for the whole run.
void run_message_loop(std::FILE* in, std::FILE* out);

}  // namespace pelagon2
