#include "files/file_changes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <copyfile.h>
#include <sys/clonefile.h>
#endif

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "files/file_params.h"

namespace pelagon2::files {
namespace {

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Files are opened non-blocking so that a FIFO cannot stall the host; regular
// files are then switched back to ordinary blocking I/O.
bool make_blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

[[maybe_unused]] bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Unused where the platform copies by itself.
[[maybe_unused]] bool copy_by_read_write(int in, int out) {
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

enum class CloneResult { cloned, fall_back, failed };

#if defined(__APPLE__)
// A copy-on-write clone where the volume supports it, else fcopyfile (data and
// metadata).
CloneResult clone_file(int in, const std::string& target) {
  if (::fclonefileat(in, AT_FDCWD, target.c_str(), 0) == 0) return CloneResult::cloned;
  return errno == ENOTSUP || errno == EEXIST || errno == EXDEV ? CloneResult::fall_back : CloneResult::failed;
}
bool copy_bytes(int in, int out) { return ::fcopyfile(in, out, nullptr, COPYFILE_ALL) == 0; }
#else
CloneResult clone_file(int, const std::string&) { return CloneResult::fall_back; }

#if defined(__linux__)
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
#else
bool copy_bytes(int in, int out) { return copy_by_read_write(in, out); }
#endif
#endif

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool unlink_path(const std::string& path) { return !contains_nul(path) && ::unlink(path.c_str()) == 0; }

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

struct ChildEntry {
  std::string name;
  unsigned char type;  // a DT_* value
};

// One directory being emptied: its open stream, its entries read up front (so
// removals do not disturb the enumeration), and the next one to remove.
struct Level {
  DirHandle dir;
  std::vector<ChildEntry> entries;
  std::size_t next = 0;
  std::string name;  // in the parent level
};

// Takes ownership of `fd` (an open directory); nullopt when it cannot be read.
std::optional<Level> read_level(int fd, std::string name) {
  Level level;
  level.name = std::move(name);
  level.dir.reset(::fdopendir(fd));
  if (!level.dir) {
    ::close(fd);
    return std::nullopt;
  }
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(level.dir.get());
    if (entry == nullptr) {
      if (errno != 0) return std::nullopt;
      break;
    }
    const std::string_view child(entry->d_name);
    if (child == "." || child == "..") continue;
    level.entries.push_back({std::string(child), entry->d_type});
  }
  return level;
}

bool entry_is_directory(int dir_fd, const ChildEntry& entry) {
  if (entry.type != DT_UNKNOWN) return entry.type == DT_DIR;
  struct stat st {};
  return ::fstatat(dir_fd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Empties the open directory `fd` depth first, with an explicit stack so that
// deep trees cannot exhaust the call stack. Every name is resolved relative to
// its parent's descriptor and opened with O_NOFOLLOW, so a link swapped in
// meanwhile is never followed.
bool remove_contents(int fd) {
  std::vector<Level> stack;
  std::optional<Level> top = read_level(fd, std::string());
  if (!top) return false;
  stack.push_back(std::move(*top));
  while (!stack.empty()) {
    Level& level = stack.back();
    const int level_fd = ::dirfd(level.dir.get());
    if (level.next == level.entries.size()) {
      const std::string name = std::move(level.name);
      stack.pop_back();
      if (!stack.empty() && ::unlinkat(::dirfd(stack.back().dir.get()), name.c_str(), AT_REMOVEDIR) != 0) {
        return false;
      }
      continue;
    }
    const ChildEntry& entry = level.entries[level.next++];
    if (!entry_is_directory(level_fd, entry)) {
      if (::unlinkat(level_fd, entry.name.c_str(), 0) != 0) return false;
      continue;
    }
    const int child_fd = ::openat(level_fd, entry.name.c_str(), kDirectoryFlags);
    if (child_fd < 0) return false;
    std::optional<Level> child = read_level(child_fd, entry.name);
    if (!child) return false;
    stack.push_back(std::move(*child));  // `level` and `entry` are not used past here
  }
  return true;
}

Expected<std::pair<std::string, std::string>> source_and_target(const Json& params) {
  Expected<std::string> source = string_param(params, "sourcePath");
  if (!source) return std::move(source).take_error();
  Expected<std::string> target = string_param(params, "targetPath");
  if (!target) return std::move(target).take_error();
  return std::pair{std::move(*source), std::move(*target)};
}

}  // namespace

bool copy_regular_file(const std::string& source, const std::string& target, Durability durability) {
  if (contains_nul(source) || contains_nul(target)) return false;
  UniqueFd in(open_retrying(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!in.valid()) return false;
  struct stat source_status {};
  if (::fstat(in.get(), &source_status) != 0 || !S_ISREG(source_status.st_mode) || !make_blocking(in.get())) {
    return false;
  }
  switch (clone_file(in.get(), target)) {
    case CloneResult::cloned:
      return true;
    case CloneResult::failed:
      return false;
    case CloneResult::fall_back:
      break;
  }

  const mode_t permissions = source_status.st_mode & 0777;
  // Not O_TRUNC: truncating before the same-file check below would destroy
  // the source when both paths name one file.
  UniqueFd out(open_retrying(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, permissions));
  if (!out.valid()) return false;
  struct stat target_status {};
  if (::fstat(out.get(), &target_status) != 0 || same_file(source_status, target_status)) return false;
  if (S_ISREG(target_status.st_mode)) {
    // The permission bits first: if they cannot be set, the old contents stay.
    if (::fchmod(out.get(), permissions) != 0 || ::ftruncate(out.get(), 0) != 0) return false;
  }
  if (!make_blocking(out.get()) || !copy_bytes(in.get(), out.get())) return false;
  if (durability == Durability::synced && ::fsync(out.get()) != 0 && errno != EINVAL && errno != EROFS) {
    return false;  // EINVAL / EROFS: a device or pipe that has nothing to sync
  }
  // Some file systems report a failed write only when the file is closed.
  return out.close() == 0;
}

bool create_directory_all(const std::string& path) {
  if (path.empty()) return true;
  if (contains_nul(path)) return false;
  std::vector<std::string> missing;  // deepest first
  std::string current = path;
  while (true) {
    if (::mkdir(current.c_str(), 0777) == 0) break;
    const int error = errno;
    if (error == ENOENT) {
      std::optional<std::string> parent = parent_path(current);
      if (!parent) return false;
      missing.push_back(std::move(current));
      current = std::move(*parent);
      continue;
    }
    if (error == EEXIST && is_directory(current)) break;
    return false;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0777) == 0) continue;
    // Someone else may have created it meanwhile.
    if (errno == EEXIST && is_directory(*it)) continue;
    return false;
  }
  return true;
}

bool remove_directory_tree(const std::string& path) {
  if (contains_nul(path)) return false;
  // "link/" would resolve through the link; look at the link itself instead.
  std::string own = path;
  while (own.size() > 1 && own.back() == '/') own.pop_back();
  struct stat st {};
  if (::lstat(own.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return ::unlink(own.c_str()) == 0;
  if (!S_ISDIR(st.st_mode)) return false;
  const int fd = open_retrying(own.c_str(), kDirectoryFlags);
  if (fd < 0 || !remove_contents(fd)) return false;
  return ::rmdir(own.c_str()) == 0;
}

std::optional<std::string> parent_path(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return std::nullopt;
  const std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string_view::npos) return std::nullopt;
  std::size_t parent_end = slash;
  while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
  if (parent_end == 0) return std::string("/");
  return std::string(path.substr(0, parent_end));
}

Outcome copy_file(const Json& params) {
  auto paths = source_and_target(params);
  if (!paths) return std::move(paths).take_error();
  return Json(copy_regular_file(paths->first, paths->second));
}

Outcome move_file(const Json& params) {
  auto paths = source_and_target(params);
  if (!paths) return std::move(paths).take_error();
  const auto& [source, target] = *paths;
  if (contains_nul(source) || contains_nul(target)) return Json(false);
  if (::rename(source.c_str(), target.c_str()) == 0) return Json(true);
  // Across file systems: the source goes only once the copy is complete and on
  // the device.
  if (!copy_regular_file(source, target, Durability::synced)) return Json(false);
  return Json(unlink_path(source));
}

Outcome delete_file(const Json& params) {
  Expected<std::string> path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  return Json(unlink_path(*path));
}

Outcome create_directory(const Json& params) {
  Expected<std::string> path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  return Json(create_directory_all(*path));
}

Outcome remove_directory(const Json& params) {
  Expected<std::string> path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  return Json(remove_directory_tree(*path));
}

}  // namespace pelagon2::files
