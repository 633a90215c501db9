#include <fcntl.h>
#include <sys/stat.h>
#include <copyfile.h>
#include <spawn.h>
#include <sys/clonefile.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/posix.h"

namespace pelagon2 {

// A copy-on-write clone where the volume supports it, else fcopyfile (data and
// metadata).
CloneResult clone_file(int in, const std::string& target) {
  if (::fclonefileat(in, AT_FDCWD, target.c_str(), 0) == 0) return CloneResult::cloned;
  return errno == ENOTSUP || errno == EEXIST || errno == EXDEV ? CloneResult::fall_back : CloneResult::failed;
}
bool copy_bytes(int in, int out) { return ::fcopyfile(in, out, nullptr, COPYFILE_ALL) == 0; }

// No pipe2 here: the flag is set right after, before any spawn of ours can run.
bool cloexec_pipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

// The field has its own name here.
const struct timespec& modification_time(const struct stat& st) { return st.st_mtimespec; }

std::string system_user_temp_dir() {
  std::string dir(1024, '\0');
  std::size_t needed = confstr(_CS_DARWIN_USER_TEMP_DIR, dir.data(), dir.size());
  if (needed > dir.size()) {
    dir.assign(needed, '\0');
    needed = confstr(_CS_DARWIN_USER_TEMP_DIR, dir.data(), dir.size());
  }
  if (needed == 0 || needed > dir.size()) return std::string();
  dir.resize(needed - 1);  // the count includes the terminating NUL
  return dir;
}

short spawn_flags_closing_other_descriptors() { return POSIX_SPAWN_CLOEXEC_DEFAULT; }

// The system allocator has no tunables of this kind.
void tune_heap_for_requests() {}
void give_back_spare_heap() {}

}  // namespace pelagon2
