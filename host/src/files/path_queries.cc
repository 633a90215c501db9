#include "files/path_queries.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <vector>

#include "core/posix.h"
#include "core/utf8.h"
#include "files/file_params.h"

namespace pelagon2::files {
namespace {

// stat() of `path`, following links; a NUL in the path reads as a failure
// without reaching the system.
std::optional<struct stat> status_of(const std::string& path) {
  if (contains_nul(path)) return std::nullopt;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

// Like status_of, but the failure as the error string the client sees.
Expected<struct stat> status_or_error(const std::string& path) {
  if (contains_nul(path)) return make_error(std::string(kNulInPathMessage));
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return make_error(os_error_text(errno));
  return st;
}

template <class Test>
Outcome existence_test(const Json& params, Test test) {
  Expected<std::string> path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  const std::optional<struct stat> st = status_of(*path);
  return Json(st.has_value() && test(st->st_mode));
}

std::optional<std::string> user_database_home() {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 1024;
  constexpr std::size_t kMaxBuffer = std::size_t{1} << 20;
  std::vector<char> buffer;
  while (true) {
    buffer.resize(size);
    struct passwd entry {};
    struct passwd* found = nullptr;
    const int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && size < kMaxBuffer) {
      size *= 2;
      continue;
    }
    if (rc == EINTR) continue;
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') return std::nullopt;
    return std::string(found->pw_dir);
  }
}

// `home` with the component `name` appended, adding a separator only when
// `home` does not already end with one.
std::string append_component(std::string home, std::string_view name) {
  if (home.empty() || home.back() != '/') home.push_back('/');
  home.append(name);
  return home;
}

}  // namespace

std::uint64_t last_write_millis(std::int64_t seconds, std::int64_t nanoseconds) {
  if (seconds < 0 || nanoseconds < 0 || nanoseconds >= 1'000'000'000) return 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const auto whole = static_cast<std::uint64_t>(seconds);
  const auto millis = static_cast<std::uint64_t>(nanoseconds) / 1'000'000;
  if (whole > kMax / 1000 || whole * 1000 > kMax - millis) return 0;
  return whole * 1000 + millis;
}

std::optional<std::string> home_directory() {
  const char* env = std::getenv("HOME");
  if (env != nullptr && env[0] != '\0') return std::string(env);
  return user_database_home();
}

Outcome file_exists(const Json& params) {
  return existence_test(params, [](mode_t mode) { return static_cast<bool>(S_ISREG(mode)); });
}

Outcome directory_exists(const Json& params) {
  return existence_test(params, [](mode_t mode) { return static_cast<bool>(S_ISDIR(mode)); });
}

Outcome get_file_size(const Json& params) {
  Expected<std::string> path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  Expected<struct stat> st = status_or_error(*path);
  if (!st) return std::move(st).take_error();
  return Json(static_cast<std::uint64_t>(st->st_size));
}

Outcome get_file_system_entry_info(const Json& params) {
  Expected<std::string> path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  Expected<struct stat> st = status_or_error(*path);
  if (!st) return std::move(st).take_error();
  Json record = Json::object();
  record["isDirectory"] = static_cast<bool>(S_ISDIR(st->st_mode));
  const struct timespec& mtime = modification_time(*st);
  record["lastWriteTime"] =
      last_write_millis(static_cast<std::int64_t>(mtime.tv_sec), static_cast<std::int64_t>(mtime.tv_nsec));
  record["length"] = static_cast<std::uint64_t>(st->st_size);
  return record;
}

Outcome get_special_folder_path(const Json& params) {
  const std::optional<std::uint64_t> folder = unsigned_member(params, "folder");
  if (!folder) return make_error("Missing numeric param 'folder'");
  if (*folder > 1) return make_error("Unknown special folder " + std::to_string(*folder));
  std::optional<std::string> home = home_directory();
  if (!home) return make_error("Special folder not available");
  std::string path = *folder == 1 ? append_component(std::move(*home), "Desktop") : std::move(*home);
  return Json(utf8_lossy(path));
}

}  // namespace pelagon2::files
