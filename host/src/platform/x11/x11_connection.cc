#include "platform/x11/x11_connection.h"

#include <X11/Xauth.h>
#include <xcb/xcbext.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "core/deadline.h"

namespace pelagon2::platform::x11 {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The display that missed a deadline during the current request, if any.
std::optional<std::string>& stalled_display() {
  static std::optional<std::string> display;
  return display;
}

struct CFree {
  void operator()(char* p) const { std::free(p); }
};

// Waits until `fd` is ready for `events` or the deadline passes.
bool poll_until(int fd, short events, SteadyClock::time_point deadline) {
  for (;;) {
    const int ms = milliseconds_until(deadline);
    if (ms == 0) return false;
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, ms);
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
}

// Connects a non-blocking socket; the kernel may refuse at once (no server)
// or make us wait (a full backlog, a slow network).
int connect_socket(int domain, const sockaddr* address, socklen_t length, SteadyClock::time_point deadline) {
  const int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  for (;;) {
    if (connect(fd, address, length) == 0) return fd;
    if (errno == EINTR) continue;
    if (errno == EINPROGRESS) {
      int error = 0;
      socklen_t size = sizeof error;
      if (poll_until(fd, POLLOUT, deadline) && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
        return fd;
      }
      break;
    }
    // A local server's full backlog: try again shortly, within the deadline.
    if (errno == EAGAIN && milliseconds_until(deadline) > 0) {
      pollfd none{-1, 0, 0};
      poll(&none, 0, 5);
      continue;
    }
    break;
  }
  close(fd);
  return -1;
}

int connect_local(int display, SteadyClock::time_point deadline) {
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(display);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() + 2 > sizeof address.sun_path) return -1;
  // The abstract name first, as servers on Linux listen there too, then the file.
  std::memcpy(address.sun_path + 1, path.data(), path.size());
  int fd = connect_socket(AF_UNIX, reinterpret_cast<const sockaddr*>(&address),
                          static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size()), deadline);
  if (fd >= 0) return fd;
  std::memset(address.sun_path, 0, sizeof address.sun_path);
  std::memcpy(address.sun_path, path.data(), path.size());
  fd = connect_socket(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline);
  return fd;
}

// Address families of authority entries, as the core protocol numbers them.
constexpr unsigned short kFamilyInternet = 0;
constexpr unsigned short kFamilyInternet6 = 6;

// The address a remote connection's authority is filed under; loopback
// connections use the local entry.
struct Peer {
  int fd = -1;
  unsigned short family = FamilyLocal;
  std::string address;
};

Peer connect_remote(const std::string& host, int display, SteadyClock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(6000 + display);
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return {};
  Peer peer;
  for (addrinfo* a = found; a != nullptr && peer.fd < 0; a = a->ai_next) {
    peer.fd = connect_socket(a->ai_family, a->ai_addr, a->ai_addrlen, deadline);
    if (peer.fd < 0) continue;
    if (a->ai_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      if ((ntohl(in->sin_addr.s_addr) >> 24) != 127) {
        peer.family = kFamilyInternet;
        peer.address.assign(reinterpret_cast<const char*>(&in->sin_addr), 4);
      }
    } else if (a->ai_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      if (!IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) {
        peer.family = kFamilyInternet6;
        peer.address.assign(reinterpret_cast<const char*>(&in6->sin6_addr), 16);
      }
    }
  }
  freeaddrinfo(found);
  return peer;
}

// The cookie the user's authority file holds for this server, if any.
struct Authority {
  std::string name;
  std::string data;
};

std::optional<Authority> find_authority(const Peer& peer, int display) {
  std::string address = peer.address;
  if (peer.family == FamilyLocal) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return std::nullopt;
    address = host;
  }
  const std::string number = std::to_string(display);
  char cookie_name[] = "MIT-MAGIC-COOKIE-1";
  char* names[] = {cookie_name};
  int name_lengths[] = {static_cast<int>(sizeof cookie_name - 1)};
  Xauth* entry = XauGetBestAuthByAddr(peer.family, static_cast<unsigned short>(address.size()), address.data(),
                                      static_cast<unsigned short>(number.size()), number.data(), 1, names,
                                      name_lengths);
  if (entry == nullptr) return std::nullopt;
  Authority authority{std::string(entry->name, entry->name_length), std::string(entry->data, entry->data_length)};
  XauDisposeAuth(entry);
  return authority;
}

// ---- the watchdog ----

volatile sig_atomic_t g_watched_fd = -1;
volatile sig_atomic_t g_watchdog_fired = 0;

extern "C" void on_watchdog(int) {
  // shutdown() is async-signal-safe; the library's poll loop then sees the
  // socket end and gives up.
  const int fd = g_watched_fd;
  if (fd >= 0) {
    shutdown(fd, SHUT_RDWR);
    g_watchdog_fired = 1;
  }
}

}  // namespace

// Arms SIGALRM to shut `fd` down at `deadline` for as long as it lives.
class SocketWatchdog {
 public:
  SocketWatchdog(int fd, SteadyClock::time_point deadline) {
    const int ms = milliseconds_until(deadline);
    g_watchdog_fired = 0;
    if (ms == 0) {
      shutdown(fd, SHUT_RDWR);
      g_watchdog_fired = 1;
      return;
    }
    struct sigaction action {};
    action.sa_handler = on_watchdog;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGALRM, &action, &previous_) != 0) return;
    g_watched_fd = fd;
    itimerval timer{};
    timer.it_value.tv_sec = ms / 1000;
    timer.it_value.tv_usec = (ms % 1000) * 1000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    armed_ = true;
  }
  ~SocketWatchdog() {
    if (!armed_) return;
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    g_watched_fd = -1;
    sigaction(SIGALRM, &previous_, nullptr);
  }
  SocketWatchdog(const SocketWatchdog&) = delete;
  SocketWatchdog& operator=(const SocketWatchdog&) = delete;

  static bool fired() { return g_watchdog_fired != 0; }

 private:
  struct sigaction previous_ {};
  bool armed_ = false;
};

void begin_request() { stalled_display().reset(); }

std::unique_ptr<XConnection> XConnection::open() {
  const char* value = std::getenv("DISPLAY");
  if (value == nullptr || *value == '\0') return nullptr;
  const std::string name = value;
  if (stalled_display() == name) return nullptr;
  char* host_raw = nullptr;
  int display = 0, screen_number = 0;
  if (!xcb_parse_display(name.c_str(), &host_raw, &display, &screen_number)) return nullptr;
  const std::unique_ptr<char, CFree> host_text(host_raw);
  const std::string host = host_raw != nullptr ? host_raw : "";

  const SteadyClock::time_point deadline = SteadyClock::now() + kServerDeadline;
  Peer peer;
  if (host.empty() || host == "unix") {
    peer.fd = connect_local(display, deadline);
  } else if (host[0] == '/') {
    // A socket path (as some launchers hand out).
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (host.size() < sizeof address.sun_path) {
      std::memcpy(address.sun_path, host.data(), host.size());
      peer.fd = connect_socket(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline);
    }
  } else {
    peer = connect_remote(host, display, deadline);
  }
  if (peer.fd < 0) {
    if (milliseconds_until(deadline) == 0) stalled_display() = name;
    return nullptr;
  }

  std::optional<Authority> authority = find_authority(peer, display);
  xcb_auth_info_t auth{};
  if (authority) {
    auth.namelen = static_cast<int>(authority->name.size());
    auth.name = authority->name.data();
    auth.datalen = static_cast<int>(authority->data.size());
    auth.data = authority->data.data();
  }
  xcb_connection_t* connection = nullptr;
  bool fired = false;
  {
    // The handshake waits inside the library; the watchdog bounds it.
    const SocketWatchdog watchdog(peer.fd, deadline);
    connection = xcb_connect_to_fd(peer.fd, authority ? &auth : nullptr);  // takes the descriptor
    fired = SocketWatchdog::fired();
  }
  if (fired) stalled_display() = name;
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screen_number && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem <= 0 || screens.data == nullptr) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return std::unique_ptr<XConnection>(new XConnection(connection, screens.data, name));
}

XConnection::XConnection(xcb_connection_t* connection, const xcb_screen_t* screen, std::string display_name)
    : connection_(connection), screen_(screen), display_name_(std::move(display_name)) {}

XConnection::~XConnection() {
  // Closes the socket without talking to the server again.
  xcb_disconnect(connection_);
}

bool XConnection::alive() {
  if (stalled_ || xcb_connection_has_error(connection_)) return false;
  // Another connection of this request found the server stalled.
  if (stalled_display() == display_name_) {
    stalled_ = true;
    return false;
  }
  return true;
}

void XConnection::note_stalled() {
  stalled_ = true;
  stalled_display() = display_name_;
}

template <class Ready>
bool XConnection::wait_until(Ready ready) {
  const SteadyClock::time_point deadline = SteadyClock::now() + kServerDeadline;
  const int fd = xcb_get_file_descriptor(connection_);
  for (;;) {
    if (ready()) return true;
    if (xcb_connection_has_error(connection_)) return false;
    if (!poll_until(fd, POLLIN, deadline)) {
      // One last look: the answer may have come with the last wake-up.
      if (ready()) return true;
      note_stalled();
      return false;
    }
  }
}

void* XConnection::wait_for_reply(unsigned int sequence) {
  if (!flush()) return nullptr;
  void* reply = nullptr;
  xcb_generic_error_t* error = nullptr;
  const bool answered = wait_until([&] { return xcb_poll_for_reply(connection_, sequence, &reply, &error) != 0; });
  if (error != nullptr) {
    error_seen_ = true;
    std::free(error);
  }
  if (!answered) {
    std::free(reply);
    return nullptr;
  }
  return reply;
}

void XConnection::drain_events() {
  // Errors of requests without a reply arrive as events; so does every
  // MappingNotify, which nobody here needs.
  while (xcb_generic_event_t* event = xcb_poll_for_queued_event(connection_)) {
    if (event->response_type == 0) error_seen_ = true;
    std::free(event);
  }
}

void XConnection::clear_error() {
  drain_events();
  error_seen_ = false;
}

bool XConnection::sync_failed() {
  if (!alive()) return true;
  const Reply<xcb_get_input_focus_reply_t> focus = reply<xcb_get_input_focus_reply_t>(
      xcb_get_input_focus(connection_).sequence);
  drain_events();
  return !focus || error_seen_ || !alive();
}

bool XConnection::flush() {
  if (!alive()) return false;
  // Writing waits inside the library once the socket's buffer is full, as it
  // stays when the server has stopped reading.
  if (guarded([&] { return xcb_flush(connection_); }) <= 0) return false;
  return alive();
}

const xcb_query_extension_reply_t* XConnection::extension(xcb_extension_t& extension) {
  if (!alive()) return nullptr;
  // Asked once per connection: callers ask before each use.
  for (const auto& [asked, answer] : extensions_) {
    if (asked == &extension) return answer->present ? answer : nullptr;
  }
  xcb_prefetch_extension_data(connection_, &extension);
  // Once a later request is answered, the query's own answer is in hand,
  // and the library's lookup below finds it without waiting.
  if (sync_failed() && !alive()) return nullptr;
  const xcb_query_extension_reply_t* data = guarded([&] { return xcb_get_extension_data(connection_, &extension); });
  if (data == nullptr || !alive()) return nullptr;
  extensions_.emplace_back(&extension, data);
  return data->present ? data : nullptr;
}

XConnection::Watchdog::Watchdog(XConnection& connection) : connection_(connection) {
  if (!connection_.alive()) {
    // A connection given up on (its server stalled) is not broken in the
    // library's eyes, whose call would wait for it without end: end it now.
    shutdown(xcb_get_file_descriptor(connection_.connection_), SHUT_RDWR);
    return;
  }
  dog_ = std::make_unique<SocketWatchdog>(xcb_get_file_descriptor(connection_.connection_),
                                          SteadyClock::now() + kServerDeadline);
}

XConnection::Watchdog::~Watchdog() {
  if (!dog_) return;
  const bool fired = SocketWatchdog::fired();
  dog_.reset();
  if (fired) connection_.note_stalled();
}

}  // namespace pelagon2::platform::x11
