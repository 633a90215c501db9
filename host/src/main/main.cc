#include <csignal>
#include <cstdio>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "main/message_loop.h"

int main() {
  // A client that goes away must surface as a write error, not kill us.
  std::signal(SIGPIPE, SIG_IGN);
#ifdef __GLIBC__
  // Requests allocate the same large buffers again and again (request text,
  // decoded images, score maps). Served by mmap and trimmed after each request,
  // every one of their pages would fault in afresh on the next request; kept in
  // the heap they are reused. Free memory beyond 64 MB at the heap's top is
  // still returned, so one unusually large request does not pin its peak.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
  pelagon2::run_message_loop(stdin, stdout);
  return 0;
}
