#pragma once
// Complete writes to a file descriptor, shared by every writer in the host.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

namespace pelagon2 {

// The most one write call is asked to move: some systems refuse a count above
// INT_MAX instead of writing part of it.
inline constexpr std::size_t kMaxWriteChunk = std::size_t{1} << 30;

// Writes every byte through `write_some` (called like write(2) without the
// descriptor), repeating short and signal-interrupted writes. A write that
// moves nothing fails with EIO instead of looping for ever. False with errno
// set on the first failure.
template <class WriteSome>
bool write_fully(WriteSome&& write_some, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = write_some(bytes.data(), std::min(bytes.size(), kMaxWriteChunk));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) {
      errno = EIO;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return true;
}

// write_fully on the descriptor `fd`.
bool write_all(int fd, std::span<const std::uint8_t> bytes);

inline bool write_all(int fd, const void* data, std::size_t size) {
  return write_all(fd, std::span(static_cast<const std::uint8_t*>(data), size));
}

}  // namespace pelagon2
