#include "core/host_streams.h"

#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

namespace pelagon2 {

bool is_host_stream(int fd) {
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) return false;
  for (const int stream : {STDIN_FILENO, STDOUT_FILENO}) {
    // A descriptor numbered like a stream means that stream was closed.
    if (fd == stream) continue;
    struct stat own {};
    if (::fstat(stream, &own) == 0 && own.st_dev == opened.st_dev && own.st_ino == opened.st_ino) return true;
  }
  return false;
}

}  // namespace pelagon2
