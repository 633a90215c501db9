#include <fcntl.h>
#include <unistd.h>

#include "core/posix.h"

namespace pelagon2 {

bool cloexec_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

}  // namespace pelagon2
