#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/posix.h"

namespace pelagon2 {

// No pipe2 here: the flag is set right after, before any spawn of ours can run.
bool cloexec_pipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

// The field has its own name here.
const struct timespec& modification_time(const struct stat& st) { return st.st_mtimespec; }

}  // namespace pelagon2
