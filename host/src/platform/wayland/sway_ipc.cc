#include "platform/wayland/sway_ipc.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/deadline.h"
#include "platform/wayland/sway_tree_model.h"

namespace pelagon2::platform::wayland::wlr {
namespace {

// A tree of a few hundred windows is well under a megabyte.
constexpr std::uint32_t kMaxReply = 64u << 20;

bool wait_for(int fd, short events, Deadline deadline) {
  while (true) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, milliseconds_until(deadline));
    if (r < 0 && errno == EINTR) continue;
    return r > 0 && (p.revents & events) != 0;
  }
}

bool read_exactly(int fd, char* out, std::size_t size, Deadline deadline) {
  std::size_t got = 0;
  while (got < size) {
    if (!wait_for(fd, POLLIN, deadline)) return false;
    const ssize_t n = ::read(fd, out + got, size - got);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<std::string> sway_get_tree(const std::string& socket_path, Deadline deadline) {
  sockaddr_un address{};
  if (socket_path.empty() || socket_path.size() >= sizeof address.sun_path) return std::nullopt;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket_path.data(), socket_path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> result;
  const std::string request = sway_message(kSwayGetTree, "");
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char header[kSwayHeaderSize];
    if (read_exactly(fd, header, sizeof header, deadline)) {
      const std::optional<SwayHeader> h = parse_sway_header(std::string_view(header, sizeof header));
      if (h && h->type == kSwayGetTree && h->length <= kMaxReply) {
        std::string body(h->length, '\0');
        if (read_exactly(fd, body.data(), body.size(), deadline)) result = std::move(body);
      }
    }
  }
  ::close(fd);
  return result;
}

}  // namespace pelagon2::platform::wayland::wlr
