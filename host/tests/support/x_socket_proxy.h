#pragma once
// A relay on an X display socket of its own, in front of a test's server,
// that reads the X protocol as it passes (the connection setup, each request's
// opcode and length, each reply's sequence number, the opcodes the server
// gives extensions) and cuts one connection, both sides closed, at a chosen
// point: during the handshake, at a given request, in the middle of a reply.
// That is how a server dies at the worst moment, made repeatable.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelagon2::testing {

// Where the relay cuts. It cuts once: the first connection that reaches the
// point (and is the `connection`-th accepted, when that is given); the
// connections after it pass untouched.
struct XCutRule {
  enum class At {
    kNever,
    kSetupRequest,   // after `bytes` bytes of the client's setup request
    kSetupReply,     // after `bytes` bytes of the server's setup reply
    kRequestNumber,  // before the client's request number `number` (1: the first)
    kRequest,        // before the first request to `extension` (or of major `opcode`)
    kReply,          // after `bytes` bytes of the first reply to such a request
  };
  At at = At::kNever;
  std::size_t bytes = 0;
  std::uint32_t number = 0;
  // A request's major opcode, given as the extension's name (the opcode the
  // server answered its QueryExtension with) or as a number.
  std::string extension;
  int opcode = -1;
  int minor = -1;       // and its minor opcode; -1: any
  int connection = -1;  // only this connection, counted from 0 in accept order; -1: any

  static XCutRule setup_request(std::size_t bytes) { return with(At::kSetupRequest, bytes); }
  static XCutRule setup_reply(std::size_t bytes) { return with(At::kSetupReply, bytes); }
  static XCutRule request_number(std::uint32_t number) {
    XCutRule rule = with(At::kRequestNumber, 0);
    rule.number = number;
    return rule;
  }
  static XCutRule request(std::string extension, int minor = -1) {
    return for_request(At::kRequest, std::move(extension), -1, minor, 0);
  }
  static XCutRule request(int opcode) { return for_request(At::kRequest, {}, opcode, -1, 0); }
  static XCutRule reply(std::string extension, std::size_t bytes) {
    return for_request(At::kReply, std::move(extension), -1, -1, bytes);
  }
  static XCutRule reply(int opcode, std::size_t bytes) { return for_request(At::kReply, {}, opcode, -1, bytes); }

 private:
  static XCutRule with(At at, std::size_t bytes) {
    XCutRule rule;
    rule.at = at;
    rule.bytes = bytes;
    return rule;
  }
  static XCutRule for_request(At at, std::string extension, int opcode, int minor, std::size_t bytes) {
    XCutRule rule = with(at, bytes);
    rule.extension = std::move(extension);
    rule.opcode = opcode;
    rule.minor = minor;
    return rule;
  }
};

class XSocketProxy {
 public:
  // Relays to the server of `upstream_display` (":N").
  XSocketProxy(const std::string& upstream_display, XCutRule rule) : rule_(std::move(rule)) {
    upstream_ = "/tmp/.X11-unix/X" + upstream_display.substr(upstream_display.find(':') + 1);
    // A display number nobody uses: no socket file, no lock file, and its
    // abstract name free. Bound here, the name also keeps servers that pick
    // a number for themselves away from it.
    for (int number = 700; number < 1000 && listener_ < 0; ++number) {
      const std::string n = std::to_string(number);
      struct stat st {};
      if (stat(("/tmp/.X11-unix/X" + n).c_str(), &st) == 0 || stat(("/tmp/.X" + n + "-lock").c_str(), &st) == 0) {
        continue;
      }
      listener_ = bind_abstract("/tmp/.X11-unix/X" + n);
      if (listener_ >= 0) display_ = ":" + n;
    }
    if (listener_ < 0 || listen(listener_, 64) != 0 || pipe2(wake_, O_CLOEXEC) != 0) return;
    thread_ = std::thread([this] { run(); });
  }

  ~XSocketProxy() {
    if (thread_.joinable()) {
      const char byte = 0;
      [[maybe_unused]] const ssize_t n = write(wake_[1], &byte, 1);
      thread_.join();
    }
    for (int fd : {listener_, wake_[0], wake_[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  XSocketProxy(const XSocketProxy&) = delete;
  XSocketProxy& operator=(const XSocketProxy&) = delete;

  bool running() const { return thread_.joinable(); }
  const std::string& display() const { return display_; }
  // Connections accepted so far, and whether the cut happened.
  int connections() const { return accepted_.load(); }
  bool cut() const { return cut_.load(); }
  // The opcode the server gave `extension`, once a client asked; -1 before.
  int opcode_of(const std::string& extension) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = opcodes_.find(extension);
    return it == opcodes_.end() ? -1 : it->second;
  }

 private:
  struct RequestInfo {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    std::string extension;  // the name a QueryExtension asked for
  };

  struct Relay {
    int index = 0;
    int client = -1;
    int server = -1;
    bool big_endian = false;
    bool setup_sent = false;      // the whole setup request went up
    bool setup_answered = false;  // the whole setup reply came down
    std::uint32_t requests = 0;   // requests sent up so far
    std::string from_client;
    std::string from_server;
    std::map<std::uint16_t, RequestInfo> pending;  // by 16-bit sequence number
    bool done = false;
  };

  static int bind_abstract(const std::string& name) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  int connect_upstream() const {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, upstream_.data(), upstream_.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + upstream_.size());
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  static bool send_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  std::uint16_t card16(const Relay& r, const std::string& b, std::size_t at) const {
    const auto lo = static_cast<std::uint8_t>(b[at]), hi = static_cast<std::uint8_t>(b[at + 1]);
    return r.big_endian ? static_cast<std::uint16_t>(lo << 8 | hi) : static_cast<std::uint16_t>(hi << 8 | lo);
  }
  std::uint32_t card32(const Relay& r, const std::string& b, std::size_t at) const {
    const std::uint32_t a = card16(r, b, at), c = card16(r, b, at + 2);
    return r.big_endian ? (a << 16 | c) : (c << 16 | a);
  }

  // Whether the rule, armed still, applies to this connection now.
  bool armed_for(const Relay& r, XCutRule::At at) const {
    return !cut_.load() && rule_.at == at && (rule_.connection < 0 || rule_.connection == r.index);
  }

  bool request_matches(const RequestInfo& request) const {
    int major = rule_.opcode;
    if (!rule_.extension.empty()) major = opcode_of(rule_.extension);
    return major >= 0 && request.major == major && (rule_.minor < 0 || request.minor == rule_.minor);
  }

  // Sends the first `bytes` of `data` (all of it when fewer) and closes both sides.
  void cut_after(Relay& r, int to, const std::string& data, std::size_t bytes) {
    send_all(to, data.data(), std::min(bytes, data.size()));
    cut_ = true;
    r.done = true;
  }

  // Forwards what is complete of the client's stream.
  void client_data(Relay& r) {
    std::string& b = r.from_client;
    if (!r.setup_sent) {
      if (armed_for(r, XCutRule::At::kSetupRequest) && b.size() >= rule_.bytes) return cut_after(r, r.server, b, rule_.bytes);
      if (b.size() < 12) return;
      r.big_endian = b[0] == 'B';
      const std::size_t name = card16(r, b, 6), data = card16(r, b, 8);
      const std::size_t size = 12 + (name + 3) / 4 * 4 + (data + 3) / 4 * 4;
      if (b.size() < size) return;
      if (!send_all(r.server, b.data(), size)) return void(r.done = true);
      b.erase(0, size);
      r.setup_sent = true;
    }
    while (!r.done && b.size() >= 4) {
      std::size_t size = std::size_t{card16(r, b, 2)} * 4;
      if (size == 0) {  // the BIG-REQUESTS form: a 32-bit length follows
        if (b.size() < 8) return;
        size = std::size_t{card32(r, b, 4)} * 4;
        if (size < 8) return void(r.done = true);
      }
      if (b.size() < size) return;
      RequestInfo request{static_cast<std::uint8_t>(b[0]), static_cast<std::uint8_t>(b[1]), {}};
      constexpr std::uint8_t kQueryExtension = 98;
      if (request.major == kQueryExtension && size >= 8) {
        request.extension = b.substr(8, std::min<std::size_t>(card16(r, b, 4), size - 8));
      }
      const std::uint32_t number = r.requests + 1;
      if ((armed_for(r, XCutRule::At::kRequestNumber) && number == rule_.number) ||
          (armed_for(r, XCutRule::At::kRequest) && request_matches(request))) {
        return cut_after(r, r.server, b, 0);
      }
      if (!send_all(r.server, b.data(), size)) return void(r.done = true);
      b.erase(0, size);
      r.requests = number;
      r.pending[static_cast<std::uint16_t>(number)] = std::move(request);
    }
  }

  // Forwards what is complete of the server's stream.
  void server_data(Relay& r) {
    std::string& b = r.from_server;
    if (!r.setup_answered) {
      if (armed_for(r, XCutRule::At::kSetupReply) && b.size() >= rule_.bytes) return cut_after(r, r.client, b, rule_.bytes);
      if (b.size() < 8) return;
      const std::size_t size = 8 + std::size_t{card16(r, b, 6)} * 4;
      if (b.size() < size) return;
      if (!send_all(r.client, b.data(), size)) return void(r.done = true);
      b.erase(0, size);
      r.setup_answered = true;
    }
    while (!r.done && b.size() >= 32) {
      const auto type = static_cast<std::uint8_t>(b[0]);
      constexpr std::uint8_t kReply = 1, kGenericEvent = 35;
      std::size_t size = 32;
      if (type == kReply || (type & 0x7f) == kGenericEvent) size += std::size_t{card32(r, b, 4)} * 4;
      if (b.size() < size) return;
      if (type == kReply) {
        const auto it = r.pending.find(card16(r, b, 2));
        if (it != r.pending.end()) {
          if (!it->second.extension.empty() && b[8] != 0) {
            const std::lock_guard<std::mutex> lock(mutex_);
            opcodes_[it->second.extension] = static_cast<std::uint8_t>(b[9]);
          }
          if (armed_for(r, XCutRule::At::kReply) && request_matches(it->second)) {
            return cut_after(r, r.client, b, std::min(rule_.bytes, size / 2));
          }
        }
      }
      if (!send_all(r.client, b.data(), size)) return void(r.done = true);
      b.erase(0, size);
    }
  }

  void run() {
    std::vector<std::unique_ptr<Relay>> relays;
    for (;;) {
      std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
      for (const auto& r : relays) {
        fds.push_back({r->client, POLLIN, 0});
        fds.push_back({r->server, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents != 0) break;
      if (fds[1].revents & POLLIN) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
          auto relay = std::make_unique<Relay>();
          relay->index = accepted_++;
          relay->client = client;
          relay->server = connect_upstream();
          if (relay->server < 0) relay->done = true;
          relays.push_back(std::move(relay));
        }
      }
      for (std::size_t i = 0; i < relays.size() && 2 + 2 * i + 1 < fds.size(); ++i) {
        Relay& r = *relays[i];
        for (const bool from_client : {true, false}) {
          if (r.done || fds[2 + 2 * i + (from_client ? 0 : 1)].revents == 0) continue;
          char chunk[65536];
          const ssize_t n = recv(from_client ? r.client : r.server, chunk, sizeof chunk, 0);
          if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            r.done = true;
            continue;
          }
          if (from_client) {
            r.from_client.append(chunk, static_cast<std::size_t>(n));
            client_data(r);
          } else {
            r.from_server.append(chunk, static_cast<std::size_t>(n));
            server_data(r);
          }
        }
      }
      for (auto it = relays.begin(); it != relays.end();) {
        if (!(*it)->done) {
          ++it;
          continue;
        }
        for (int fd : {(*it)->client, (*it)->server}) {
          if (fd >= 0) close(fd);
        }
        it = relays.erase(it);
      }
    }
    for (const auto& r : relays) {
      for (int fd : {r->client, r->server}) {
        if (fd >= 0) close(fd);
      }
    }
  }

  XCutRule rule_;
  std::string upstream_;
  std::string display_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<int> accepted_{0};
  std::atomic<bool> cut_{false};
  mutable std::mutex mutex_;
  std::map<std::string, int> opcodes_;
};

}  // namespace pelagon2::testing
