#include <csignal>
#include <cstdio>
#include <memory>

#include "core/posix.h"
#include "main/message_loop.h"
#include "platform/platform.h"

int main() {
  // A client that goes away must surface as a write error, not kill us.
  std::signal(SIGPIPE, SIG_IGN);
  pelagon2::tune_heap_for_requests();
  const std::unique_ptr<pelagon2::platform::Platform> platform = pelagon2::platform::create_platform();
  pelagon2::run_message_loop(stdin, stdout, *platform);
  return 0;
}
