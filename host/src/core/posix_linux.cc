#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "core/descriptor_io.h"

#include "core/posix.h"

namespace pelagon2 {
namespace {

bool copy_by_read_write(int in, int out) {
  std::vector<char> buffer(std::size_t{1} << 17);
  while (true) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!write_all(out, buffer.data(), static_cast<std::size_t>(n))) return false;
  }
}

}  // namespace

CloneResult clone_file(int, const std::string&) { return CloneResult::fall_back; }

// Kernel-side copy (shared extents where the file system can); both offsets
// advance together, so read/write can take over at any point.
bool copy_bytes(int in, int out) {
  bool copied_any = false;
  while (true) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
    if (n > 0) {
      copied_any = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && copied_any) return true;
    // Nothing copied yet (some pseudo-files claim to be empty here) or the
    // kernel refused this pair of files: read and write instead.
    return copy_by_read_write(in, out);
  }
}

bool cloexec_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

const struct timespec& modification_time(const struct stat& st) { return st.st_mtim; }

}  // namespace pelagon2
