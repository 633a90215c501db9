#include "core/host_streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

int open_without_waiting(const char* path, int flags, unsigned mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_NONBLOCK, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  int error = EBUSY;
  if (!is_host_stream(fd)) {
    const int status = ::fcntl(fd, F_GETFL);
    if (status >= 0 && ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == 0) return fd;
    error = errno;
  }
  ::close(fd);
  errno = error;
  return -1;
}

}  // namespace pelagon2
