#include <csignal>
#include <cstdio>

#include "main/message_loop.h"

int main() {
  // A client that goes away must surface as a write error, not kill us.
  std::signal(SIGPIPE, SIG_IGN);
  pelagon2::run_message_loop(stdin, stdout);
  return 0;
}
