#include "platform/x11/xlib_connection.h"

#include <csetjmp>
#include <cstdlib>
#include <vector>

#include <unistd.h>

namespace pelagon2::platform::x11::xlib {
namespace {

// The host is single-threaded and holds at most one connection at a time, so
// one process-wide record of the last error is enough.
Display* g_error_display = nullptr;
bool g_error_seen = false;

// Xlib's default handler prints and exits; a window that vanishes between two
// calls must only fail the call that touched it.
int record_error(Display* display, XErrorEvent* /*event*/) {
  if (display == g_error_display || g_error_display == nullptr) g_error_seen = true;
  return 0;
}

// Set while XOpenDisplay runs. Its handshake makes round trips before the
// connection can be given an exit handler of ours, and Xlib's default one ends
// the process: a server going away at that moment would take the host along.
std::jmp_buf* g_opening = nullptr;
Display* g_lost_while_opening = nullptr;

// Called before the exit handler; the default one prints to stderr. Only Xlib's
// own C frames lie between XOpenDisplay and here, so jumping back over them
// unwinds nothing of ours.
int quiet_io_error(Display* display) {
  if (g_opening != nullptr) {
    g_lost_while_opening = display;
    std::longjmp(*g_opening, 1);
  }
  return 0;
}

}  // namespace

std::unique_ptr<XConnection> XConnection::open() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return nullptr;
  XSetErrorHandler(record_error);
  XSetIOErrorHandler(quiet_io_error);
  std::jmp_buf opening;
  if (setjmp(opening) != 0) {
    g_opening = nullptr;
    // Xlib left it half-built: closing it the normal way crashes. Its socket is
    // closed and the structure kept (reachable, a few KiB) for as long as the
    // host runs; this happens only when a server dies mid-handshake.
    static std::vector<Display*> abandoned;
    if (g_lost_while_opening != nullptr) {
      close(ConnectionNumber(g_lost_while_opening));
      abandoned.push_back(g_lost_while_opening);
      g_lost_while_opening = nullptr;
    }
    return nullptr;
  }
  g_opening = &opening;
  Display* display = XOpenDisplay(name);
  g_opening = nullptr;
  if (display == nullptr) return nullptr;
  return std::unique_ptr<XConnection>(new XConnection(display));
}

XConnection::XConnection(Display* display) : display_(display) {
  // Without an exit handler of our own, a lost server ends the process.
  XSetIOErrorExitHandler(display_, &XConnection::on_io_exit, this);
  g_error_display = display_;
  g_error_seen = false;
}

XConnection::~XConnection() {
  if (g_error_display == display_) g_error_display = nullptr;
  // A broken connection is released without talking to the server again.
  XCloseDisplay(display_);
}

void XConnection::on_io_exit(Display* /*display*/, void* self) { static_cast<XConnection*>(self)->alive_ = false; }

void XConnection::clear_error() {
  g_error_display = display_;
  g_error_seen = false;
}

bool XConnection::sync_failed() {
  if (alive_) XSync(display_, False);
  return g_error_seen || !alive_;
}

}  // namespace pelagon2::platform::x11::xlib
