#pragma once
// One connection to the X server named by DISPLAY, opened for a request and
// closed at its end. X errors never end the host: protocol errors are
// recorded and turned into failed calls, and a server that goes away marks the
// connection dead instead of exiting the process.

#include <X11/Xlib.h>

#include <memory>

namespace pelagon2::platform::x11::xlib {

class XConnection {
 public:
  // nullptr when DISPLAY is unset or the server cannot be reached.
  static std::unique_ptr<XConnection> open();
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  Display* display() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }
  // False once the server connection broke; every later call is pointless.
  bool alive() const { return alive_; }

  // Starts collecting protocol errors of this connection.
  void clear_error();
  // Waits for the server to process everything sent so far and tells whether
  // any request since clear_error() failed (or the connection broke).
  bool sync_failed();

 private:
  explicit XConnection(Display* display);
  static void on_io_exit(Display* display, void* self);

  Display* display_;
  bool alive_ = true;
};

}  // namespace pelagon2::platform::x11::xlib

namespace pelagon2::platform::x11 {
using xlib::XConnection;
}  // namespace pelagon2::platform::x11
