#pragma once
// The host's own message streams, as files a method might otherwise open by
// name (/dev/stdout, /proc/self/fd/0, the file standard output goes to).

namespace pelagon2 {

// Whether the open descriptor `fd` is the same file as the host's standard
// input or output. Writing there would forge reply frames and reading there
// would swallow requests, so no method may use such a descriptor.
bool is_host_stream(int fd);

}  // namespace pelagon2
