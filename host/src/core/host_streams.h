#pragma once
// The host's own message streams, as files a method might otherwise open by
// name (/dev/stdout, /proc/self/fd/0, the file standard output goes to).

namespace pelagon2 {

// Whether the open descriptor `fd` is the same file as the host's standard
// input or output. Writing there would forge reply frames and reading there
// would swallow requests, so no method may use such a descriptor.
bool is_host_stream(int fd);

// open() that never waits for the other end of a FIFO (the single-threaded
// host would stall with it), then back to blocking I/O. Refuses the host's own
// message streams (EBUSY); repeats an interrupted open. -1 with errno set on
// failure. Never truncates: callers that must do so check the file first.
int open_without_waiting(const char* path, int flags, unsigned mode = 0);

}  // namespace pelagon2
