#include "core/host_streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "core/file_io.h"

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
  UniqueFd fd;
  do {
    fd.reset(::open(path, flags | O_NONBLOCK, static_cast<mode_t>(mode)));
  } while (!fd.valid() && errno == EINTR);
  if (!fd.valid()) return -1;
  int error = EBUSY;
  if (!is_host_stream(fd.get())) {
    const int status = ::fcntl(fd.get(), F_GETFL);
    if (status >= 0 && ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) == 0) return fd.release();
    error = errno;
  }
  fd.reset();
  errno = error;
  return -1;
}

}  // namespace pelagon2
