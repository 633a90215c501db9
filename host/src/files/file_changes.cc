#include "files/file_changes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "core/descriptor_io.h"
#include "core/host_streams.h"
#include "core/posix.h"
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


bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool unlink_path(const std::string& path) { return !contains_nul(path) && ::unlink(path.c_str()) == 0; }

// A path split into the directory that holds its last component and that
// component; nullopt when the path has no last component to name an entry
// (empty, or ending in a separator).
struct EntryName {
  std::string directory;
  std::string name;
};
std::optional<EntryName> entry_name(const std::string& path) {
  if (path.empty() || path.back() == '/') return std::nullopt;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return EntryName{".", path};
  return EntryName{parent_path(path).value_or("/"), path.substr(slash + 1)};
}

bool same_name_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Whether `source` and `target` are two different names (hard links) of one
// file: rename() then succeeds without doing anything. The same name reached
// two ways, or on a case-insensitive volume in two spellings, is one name.
bool are_two_links_of_one_file(const std::string& source, const std::string& target) {
  struct stat from {};
  struct stat to {};
  if (::lstat(source.c_str(), &from) != 0 || ::lstat(target.c_str(), &to) != 0) return false;
  if (!same_file(from, to) || S_ISDIR(from.st_mode) || from.st_nlink < 2) return false;
  const std::optional<EntryName> a = entry_name(source);
  const std::optional<EntryName> b = entry_name(target);
  if (!a || !b || a->name == "." || a->name == ".." || b->name == "." || b->name == "..") return false;
  struct stat a_dir {};
  struct stat b_dir {};
  if (::stat(a->directory.c_str(), &a_dir) != 0 || ::stat(b->directory.c_str(), &b_dir) != 0) return false;
  return !(same_file(a_dir, b_dir) && same_name_ignoring_ascii_case(a->name, b->name));
}

// Opens the source of a copy: a regular file, links followed, never one of
// the host's own streams.
UniqueFd open_copy_source(const std::string& source, struct stat& status) {
  UniqueFd in(open_without_waiting(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return in;
  if (::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode)) in.reset();
  return in;
}

// fsync that accepts the answers of files that have nothing to sync.
bool sync_fd(int fd) { return ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS; }

struct ChildEntry {
  std::string name;
  unsigned char type;  // a DT_* value
};

// The entries of the open directory `fd`, read through a second descriptor
// that is closed again, so `fd` stays usable for the *at() calls.
bool read_entries(int fd, std::vector<ChildEntry>& entries) {
  const int copy = ::dup(fd);
  if (copy < 0) return false;
  const DirHandle dir(::fdopendir(copy));
  if (!dir) {
    ::close(copy);
    return false;
  }
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) return errno == 0;
    const std::string_view child(entry->d_name);
    if (child == "." || child == "..") continue;
    entries.push_back({std::string(child), entry->d_type});
  }
}

bool entry_is_directory(int dir_fd, const ChildEntry& entry) {
  if (entry.type != DT_UNKNOWN) return entry.type == DT_DIR;
  struct stat st {};
  return ::fstatat(dir_fd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// One directory being emptied: who it is, its entries read up front (so
// removals do not disturb the enumeration), and the next one to remove.
struct Level {
  dev_t device = 0;
  ino_t inode = 0;
  std::vector<ChildEntry> entries;
  std::size_t next = 0;
  std::string name;  // in the parent level
};

// Empties the open directory `root` depth first. Only the directory being
// worked on is held open, so a tree of any depth needs a fixed number of
// descriptors; the way back up goes through "..", which must be the directory
// that was come down from (a subtree moved away meanwhile stops the removal).
// Every name is resolved relative to its parent's descriptor and opened with
// O_NOFOLLOW, so a link swapped in is never followed.
bool remove_contents(UniqueFd root) {
  UniqueFd current;
  std::vector<Level> stack;
  const auto enter = [&](UniqueFd fd, std::string name) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return false;
    Level level;
    level.device = st.st_dev;
    level.inode = st.st_ino;
    level.name = std::move(name);
    if (!read_entries(fd.get(), level.entries)) return false;
    stack.push_back(std::move(level));
    current = std::move(fd);
    return true;
  };
  if (!enter(std::move(root), std::string())) return false;
  while (true) {
    Level& level = stack.back();
    if (level.next == level.entries.size()) {
      if (stack.size() == 1) return true;
      UniqueFd parent(::openat(current.get(), "..", kDirectoryFlags));
      struct stat st {};
      const Level& above = stack[stack.size() - 2];
      if (!parent.valid() || ::fstat(parent.get(), &st) != 0 || st.st_dev != above.device ||
          st.st_ino != above.inode) {
        return false;
      }
      const std::string name = std::move(level.name);
      stack.pop_back();
      current = std::move(parent);
      if (::unlinkat(current.get(), name.c_str(), AT_REMOVEDIR) != 0) return false;
      continue;
    }
    const ChildEntry& entry = level.entries[level.next++];
    if (!entry_is_directory(current.get(), entry)) {
      if (::unlinkat(current.get(), entry.name.c_str(), 0) != 0) return false;
      continue;
    }
    UniqueFd child(::openat(current.get(), entry.name.c_str(), kDirectoryFlags));
    if (!child.valid()) return false;
    if (!enter(std::move(child), entry.name)) return false;  // `level` and `entry` are not used past here
  }
}

// Moves `source` to `target` on another file system: the copy is written and
// synced under a temporary name in the target's directory, renamed over the
// target (which replaces the name as rename() would: a link there is replaced,
// never followed, and the target is never seen half written), the directory
// synced, and only then the source removed.
bool move_by_copy(const std::string& source, const std::string& target) {
  struct stat source_status {};
  UniqueFd in = open_copy_source(source, source_status);
  if (!in.valid()) return false;
  const std::optional<EntryName> place = entry_name(target);
  if (!place || place->name == "." || place->name == "..") return false;
  UniqueFd directory(open_retrying(place->directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return false;

  std::string temporary = (place->directory == "/" ? "" : place->directory) + "/.pelagon2-move-XXXXXX";
  UniqueFd out(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!out.valid()) return false;
  const bool written = ::fchmod(out.get(), source_status.st_mode & 0777) == 0 && copy_bytes(in.get(), out.get()) &&
                       sync_fd(out.get()) && out.close() == 0;
  if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The new name must be on the device before the old one goes.
  if (!sync_fd(directory.get())) return false;
  return ::unlink(source.c_str()) == 0;
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
  struct stat source_status {};
  UniqueFd in = open_copy_source(source, source_status);
  if (!in.valid()) return false;
  switch (clone_file(in.get(), target)) {
    case CloneResult::cloned:
      return true;
    case CloneResult::failed:
      return false;
    case CloneResult::fall_back:
      break;
  }

  const mode_t permissions = source_status.st_mode & 0777;
  // Not O_TRUNC: truncating before the checks below would destroy the source
  // when both paths name one file, or the host's output when it is a file.
  UniqueFd out(open_without_waiting(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, permissions));
  if (!out.valid()) return false;
  struct stat target_status {};
  if (::fstat(out.get(), &target_status) != 0 || same_file(source_status, target_status)) return false;
  if (S_ISREG(target_status.st_mode)) {
    // The permission bits first: if they cannot be set, the old contents stay.
    if (::fchmod(out.get(), permissions) != 0 || ::ftruncate(out.get(), 0) != 0) return false;
  }
  if (!copy_bytes(in.get(), out.get())) return false;
  if (durability == Durability::synced && !sync_fd(out.get())) return false;
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
  // "dir/." and "dir/.." name a directory that cannot be removed by that name:
  // refused before anything inside is touched.
  const std::string_view last = std::string_view(own).substr(own.rfind('/') + 1);
  if (last == "." || last == "..") return false;
  struct stat st {};
  if (::lstat(own.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return ::unlink(own.c_str()) == 0;
  if (!S_ISDIR(st.st_mode)) return false;
  UniqueFd fd(open_retrying(own.c_str(), kDirectoryFlags));
  struct stat opened {};
  if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !same_file(st, opened)) return false;
  if (!remove_contents(std::move(fd))) return false;
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
  // rename() leaves both names of a hard-linked pair; a move ends with only
  // the target's.
  if (are_two_links_of_one_file(source, target)) return Json(::unlink(source.c_str()) == 0);
  if (::rename(source.c_str(), target.c_str()) == 0) return Json(true);
  return Json(move_by_copy(source, target));
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
