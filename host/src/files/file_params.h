#pragma once
// Parameter reading and error texts shared by every method of the files module.

#include <dirent.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"
#include "core/os_error.h"  // os_error_text, the texts of every failure here
#include "core/outcome.h"

namespace pelagon2::files {

// The member `key` when `params` is an object holding it as a string;
// otherwise the error "Missing string param '{key}'".
Expected<std::string> string_param(const Json& params, std::string_view key);

// The member `key` when it is held as an unsigned integer; otherwise nullopt.
std::optional<std::uint64_t> unsigned_param(const Json& params, std::string_view key);

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

}  // namespace pelagon2::files
