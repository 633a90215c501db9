#include "platform/x11/x11_window_model.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>

namespace pelagon2::platform::x11 {
namespace {

// The kernel keeps command names to 15 bytes ("chromium-browser" reads as
// "chromium-browse").
constexpr std::size_t kCommandLength = 15;

// A replaced executable (a browser updated while it runs) reads as
// "/path/name (deleted)".
constexpr std::string_view kDeletedSuffix = " (deleted)";

std::optional<std::int64_t> pid_of(std::string_view entry) {
  std::int64_t pid = 0;
  const char* end = entry.data() + entry.size();
  const auto [ptr, ec] = std::from_chars(entry.data(), end, pid);
  if (ec != std::errc() || ptr != end || pid <= 0) return std::nullopt;
  return pid;
}

std::optional<std::string> executable_name(const std::string& dir) {
  char target[4096];
  const ssize_t n = readlink((dir + "/exe").c_str(), target, sizeof target);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return std::nullopt;
  std::string_view path(target, static_cast<std::size_t>(n));
  if (path.size() > kDeletedSuffix.size() && path.ends_with(kDeletedSuffix)) {
    path.remove_suffix(kDeletedSuffix.size());
  }
  const std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  if (path.empty()) return std::nullopt;
  return std::string(path);
}

std::optional<std::string> command_name(const std::string& dir) {
  const int fd = open((dir + "/comm").c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  char buffer[64];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  if (n <= 0) return std::nullopt;
  std::string_view name(buffer, static_cast<std::size_t>(n));
  name = name.substr(0, name.find('\n'));
  if (name.empty()) return std::nullopt;
  return std::string(name);
}

}  // namespace

std::optional<std::size_t> browser_index(std::string_view name, NameSource source) {
  for (std::size_t i = 0; i < std::size(kBrowserExecutables); ++i) {
    std::string_view browser = kBrowserExecutables[i];
    if (source == NameSource::command && name.size() == kCommandLength) browser = browser.substr(0, kCommandLength);
    if (name == browser) return i;
  }
  return std::nullopt;
}

std::optional<ProcessName> process_name(const std::string& proc_root, std::int64_t pid) {
  const std::string dir = proc_root + "/" + std::to_string(pid);
  // The executable's link needs the right to inspect the process; the
  // command name is readable for every process.
  if (std::optional<std::string> exe = executable_name(dir)) return ProcessName{std::move(*exe), NameSource::executable};
  if (std::optional<std::string> comm = command_name(dir)) return ProcessName{std::move(*comm), NameSource::command};
  return std::nullopt;
}

std::vector<std::int32_t> browser_pids_in(const std::string& proc_root) {
  std::vector<std::pair<std::size_t, std::int64_t>> found;
  DIR* dir = opendir(proc_root.c_str());
  if (dir == nullptr) return {};
  while (const dirent* entry = readdir(dir)) {
    const std::optional<std::int64_t> pid = pid_of(entry->d_name);
    if (!pid || *pid > std::numeric_limits<std::int32_t>::max()) continue;
    const std::optional<ProcessName> name = process_name(proc_root, *pid);
    if (!name) continue;  // exited meanwhile
    if (const std::optional<std::size_t> index = browser_index(name->name, name->source)) {
      found.emplace_back(*index, *pid);
    }
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  std::vector<std::int32_t> pids;
  pids.reserve(found.size());
  for (const auto& [index, pid] : found) pids.push_back(static_cast<std::int32_t>(pid));
  return pids;
}

std::optional<WindowRecord> window_record(const WindowFacts& facts) {
  if (!facts.viewable || !facts.owner_pid) return std::nullopt;
  const bool normal = facts.type == WindowFacts::Type::normal ||
                      (facts.type == WindowFacts::Type::unset && !facts.transient);
  WindowRecord record;
  record.owner_pid = facts.owner_pid;
  record.layer = (normal && !facts.override_redirect && !facts.input_only) ? 0 : kOtherLayer;
  const WindowFacts::Extents frame = facts.frame.value_or(WindowFacts::Extents{});
  const double border = facts.border;
  record.x = static_cast<double>(facts.x) - border - frame.left;
  record.y = static_cast<double>(facts.y) - border - frame.top;
  record.width = static_cast<double>(facts.width) + 2 * border + frame.left + frame.right;
  record.height = static_cast<double>(facts.height) + 2 * border + frame.top + frame.bottom;
  return record;
}

}  // namespace pelagon2::platform::x11
