#pragma once
// Owned descriptors and whole-file reads, for every module that opens files.

#include <dirent.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "core/outcome.h"

namespace pelagon2 {

// Paths with a NUL byte fail before any system call with this text.
inline constexpr std::string_view kNulInPathMessage = "file name contained an unexpected NUL byte";
inline bool contains_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

// Owns one file descriptor and closes it on every path out of a method.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);
  // Closes now and reports the result, for writers that must know whether
  // buffered data reached the file: 0, or -1 with errno set.
  int close();

 private:
  int fd_ = -1;
};

// Owns one open directory stream (opendir, fdopendir) and closes it with its
// descriptor on every path out.
struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// The most a whole-file read takes: its base64 must still fit in one reply
// frame. An endless source (a device, a growing file) fails at this size
// instead of exhausting memory.
inline constexpr std::size_t kMaxWholeFile = (std::size_t{1} << 32) / 4 * 3 - 4096;

// Everything `path` holds (symbolic links followed), at most `limit` bytes;
// the error is the operating-system text (EFBIG beyond the limit).
Expected<std::string> read_whole_file(const std::string& path, std::size_t limit = kMaxWholeFile);

}  // namespace pelagon2
