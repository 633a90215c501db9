#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/posix.h"

namespace pelagon2 {

bool cloexec_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

const struct timespec& modification_time(const struct stat& st) { return st.st_mtim; }

}  // namespace pelagon2
