#include "platform/x11/x11_connection.h"

#include <cstdlib>

namespace pelagon2::platform::x11 {
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

// Called before the exit handler; the default one prints to stderr.
int quiet_io_error(Display* /*display*/) { return 0; }

}  // namespace

std::unique_ptr<XConnection> XConnection::open() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return nullptr;
  XSetErrorHandler(record_error);
  XSetIOErrorHandler(quiet_io_error);
  Display* display = XOpenDisplay(name);
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

}  // namespace pelagon2::platform::x11
