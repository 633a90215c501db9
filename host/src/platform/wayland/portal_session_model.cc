#include "platform/wayland/portal_session_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace pelagon2::platform::wayland::portal {

Answer answer_of(std::uint32_t code) {
  switch (code) {
    case 0:
      return Answer::granted;
    case 1:
      return Answer::cancelled;
    case 2:
      return Answer::ended;
    default:
      return Answer::unknown;
  }
}

Grant grant_of(const StartResults& results) {
  Grant grant;
  for (const StreamEntry& s : results.streams) {
    if (s.source_type && (*s.source_type & kMonitor) == 0) continue;
    if (!s.width || !s.height || *s.width <= 0 || *s.height <= 0) continue;
    Output out;
    out.id = s.node;
    out.name = "portal-" + std::to_string(s.node);
    out.x = s.x.value_or(0);
    out.y = s.y.value_or(0);
    out.width = *s.width;
    out.height = *s.height;
    out.pixel_width = static_cast<std::uint32_t>(*s.width);
    out.pixel_height = static_cast<std::uint32_t>(*s.height);
    grant.outputs.push_back(std::move(out));
  }
  // The portal names no primary monitor: the one at the layout's origin is
  // the main display, as the first is where none lies there.
  if (!grant.outputs.empty()) {
    Output* main = &grant.outputs.front();
    for (Output& o : grant.outputs) {
      if (o.x == 0 && o.y == 0) {
        main = &o;
        break;
      }
    }
    main->primary = true;
  }
  grant.screen = !grant.outputs.empty();
  const std::uint32_t devices = results.devices.value_or(0);
  grant.input = (devices & (kKeyboard | kPointer)) == (kKeyboard | kPointer);
  return grant;
}

bool devices_take_restore_token(const Versions& v) { return v.remote_desktop >= 2; }

bool sources_take_hidden_cursor(const Versions& v) {
  return v.screen_cast >= 2 && (v.cursor_modes & kCursorHidden) != 0;
}

bool may_show_dialog(LastStart last, bool session_alive) {
  if (last == LastStart::refused) return false;
  return !(last == LastStart::started && session_alive);
}

std::string request_path_element(std::string_view unique_name) {
  std::string out;
  if (!unique_name.empty() && unique_name.front() == ':') unique_name.remove_prefix(1);
  for (char c : unique_name) out.push_back(c == '.' ? '_' : c);
  return out;
}

std::string request_path(std::string_view unique_name, std::string_view token) {
  return "/org/freedesktop/portal/desktop/request/" + request_path_element(unique_name) + "/" + std::string(token);
}

std::optional<std::string> token_file_path(const char* xdg_state_home, const char* home) {
  auto trimmed = [](std::string dir) {
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    return dir;
  };
  std::string base;
  if (xdg_state_home != nullptr && xdg_state_home[0] == '/') {
    base = trimmed(xdg_state_home);
  } else if (home != nullptr && home[0] == '/') {
    base = trimmed(home) + "/.local/state";
  } else {
    return std::nullopt;
  }
  return base + "/pelagon2/portal-restore-token";
}

std::optional<std::string> parse_token_file(std::string_view content) {
  while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) content.remove_suffix(1);
  if (content.empty() || content.size() > 256) return std::nullopt;
  for (char c : content) {
    if (c <= ' ' || c > '~') return std::nullopt;
  }
  return std::string(content);
}

std::optional<std::string> read_token(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string content(1024, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(in.gcount()));
  return parse_token_file(content);
}

namespace {

std::string os_reason(const char* step, const std::string& path) {
  return std::string(step) + " " + path + ": " + std::strerror(errno);
}

// Makes every missing folder of `dir`, the new ones 0700.
bool make_folders(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t slash = dir.rfind('/');
  if (slash != std::string::npos && slash > 0 && !make_folders(dir.substr(0, slash))) return false;
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

Done write_token(const std::string& path, const std::string& token) {
  if (!parse_token_file(token)) return make_error("not a restore token");
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
  if (!make_folders(dir)) return make_error(os_reason("cannot make", dir));
  const std::string temp = path + ".new-" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return make_error(os_reason("cannot create", temp));
  // An existing file of another mode (umask, an older copy) is not trusted to be private.
  bool ok = ::fchmod(fd, 0600) == 0;
  const std::string content = token + "\n";
  std::size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  const std::string failure = ok ? std::string() : os_reason("cannot write", temp);
  ::close(fd);
  if (!ok) {
    ::unlink(temp.c_str());
    return make_error(failure);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string why = os_reason("cannot rename onto", path);
    ::unlink(temp.c_str());
    return make_error(why);
  }
  return std::monostate{};
}

}  // namespace pelagon2::platform::wayland::portal
