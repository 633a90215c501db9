#include "core/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "core/host_streams.h"
#include "core/os_error.h"

namespace pelagon2 {
namespace {

// Reads go through in pieces the kernel accepts in one call.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

}  // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int UniqueFd::close() {
  const int fd = release();
  if (fd < 0) return 0;
  // The descriptor is gone even when close reports EINTR, so only other
  // failures count.
  if (::close(fd) != 0 && errno != EINTR) return -1;
  return 0;
}

Expected<std::string> read_whole_file(const std::string& path, std::size_t limit) {
  if (contains_nul(path)) return make_error(std::string(kNulInPathMessage));
  UniqueFd fd(open_without_waiting(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return make_error(os_error_text(errno));

  std::string bytes;
  struct stat info {};
  if (::fstat(fd.get(), &info) == 0 && info.st_size > 0) {
    // A file that already holds more than one reply can carry fails before
    // anything is allocated or read.
    if (S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) > limit) {
      return make_error(os_error_text(EFBIG));
    }
    // Otherwise the size is only a hint (the file may change, special files
    // report 0); one spare byte lets the read that sees end of file go
    // without regrowing.
    bytes.reserve(std::min<std::uint64_t>(static_cast<std::uint64_t>(info.st_size), limit) + 1);
  }
  constexpr std::size_t kFirstChunk = 64 * 1024;
  for (;;) {
    if (bytes.capacity() == bytes.size()) {
      // Growth stops one byte past the limit: enough to see that it was passed.
      bytes.reserve(std::min(std::max(bytes.capacity() * 2, kFirstChunk), limit + 1));
    }
    const std::size_t have = bytes.size();
    const std::size_t room = std::min(bytes.capacity() - have, kMaxTransfer);
    bytes.resize(have + room);
    const ssize_t got = ::read(fd.get(), bytes.data() + have, room);
    if (got < 0) {
      bytes.resize(have);
      if (errno == EINTR) continue;
      return make_error(os_error_text(errno));
    }
    bytes.resize(have + static_cast<std::size_t>(got));
    if (got == 0) return bytes;
    if (bytes.size() > limit) return make_error(os_error_text(EFBIG));
  }
}

}  // namespace pelagon2
