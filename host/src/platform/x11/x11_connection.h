#pragma once
// One XCB connection to the X server named by DISPLAY, opened for a request
// and closed at its end. It owns the socket, and every wait for the server
// (the connection handshake included) is a poll() on that socket against a
// deadline: a server that is stopped, wedged or swapped out fails the call
// that waited, never the host, and never the requests behind it. XCB keeps no
// process-wide state per display and never exits, so a server that dies at
// any moment leaves nothing behind but a connection that reports an error.

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelagon2::platform::x11 {

class SocketWatchdog;

// How long one wait for the X server may take. A healthy server answers in
// well under a millisecond; a loaded one that briefly holds a grab, or has
// parts swapped out, within tens to hundreds. Two seconds leaves ample room
// for those, while a caller whose server is stopped hears so before a browser
// extension's own patience runs out; and once a request has met a stalled
// server, its further X calls fail at once (see begin_request), so a request
// never waits much longer than this in all.
inline constexpr std::chrono::milliseconds kServerDeadline{2000};

// What the server's reply functions hand out: freed with free().
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

class XConnection {
 public:
  // nullptr when DISPLAY is unset or names no reachable server, when the
  // server refuses us, or when it does not finish the handshake in time.
  static std::unique_ptr<XConnection> open();
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  const xcb_screen_t& screen() const { return *screen_; }
  xcb_window_t root() const { return screen_->root; }
  // The DISPLAY value this connection was opened from.
  const std::string& display_name() const { return display_name_; }

  // False once the connection broke or the server missed a deadline; every
  // later call fails at once.
  bool alive();

  // Waits for the reply to the request numbered `sequence` (a cookie's
  // `.sequence`; requests sent with their checked form). nullptr when the
  // server answered with an error, the connection broke or the deadline
  // passed (alive() tells the last two apart from an error).
  template <class T>
  Reply<T> reply(unsigned int sequence) {
    return Reply<T>(static_cast<T*>(wait_for_reply(sequence)));
  }

  // Starts collecting errors of requests sent without a reply.
  void clear_error();
  // Sends what is queued and waits until the server has processed it; true
  // when a request since clear_error() failed or the connection is not alive.
  bool sync_failed();
  // Sends what is queued without waiting; false when the connection is not alive.
  bool flush();

  // An extension's query reply (present, major opcode, first event and error),
  // asked with a deadline; nullptr when the server lacks it or did not answer.
  // The request functions of the extension's library may be used afterwards:
  // the answer is cached in the connection.
  const xcb_query_extension_reply_t* extension(xcb_extension_t& extension);

  // Runs `call`, a library function that waits for the server inside (where
  // no deadline of ours can reach it), under a watchdog: if the server has
  // not let it return by the deadline, the socket is shut down, which makes
  // the call return with the connection broken.
  template <class F>
  auto guarded(F&& call) {
    Watchdog watchdog(*this);
    return std::forward<F>(call)();
  }

 private:
  class Watchdog {
   public:
    explicit Watchdog(XConnection& connection);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

   private:
    XConnection& connection_;
    std::unique_ptr<SocketWatchdog> dog_;
  };

  XConnection(xcb_connection_t* connection, const xcb_screen_t* screen, std::string display_name);
  void* wait_for_reply(unsigned int sequence);
  // Polls the socket until `ready` holds or the deadline passes.
  template <class Ready>
  bool wait_until(Ready ready);
  void note_stalled();
  void drain_events();

  xcb_connection_t* connection_;
  const xcb_screen_t* screen_;
  std::string display_name_;
  bool stalled_ = false;
  bool error_seen_ = false;
  // The extensions asked about so far, with the library's cached answers.
  std::vector<std::pair<const xcb_extension_t*, const xcb_query_extension_reply_t*>> extensions_;
};

// Marks the start of a request. Within one request, the first wait that runs
// past the deadline marks the server stalled, and every later connection or
// wait of the same request fails at once instead of waiting the bound again.
void begin_request();

}  // namespace pelagon2::platform::x11
