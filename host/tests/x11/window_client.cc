// A tiny X client for the window-list tests: opens one top-level window as
// told, prints "ready <window id>" once the window is where it will stay, and
// keeps it until its standard input closes. Tests copy it under a browser's
// name to make it look like one.
//
//   window_client [--geometry X,Y,W,H] [--pid-property] [--unmapped]
//                 [--type normal|dialog] [--override-redirect]
//                 [--fill RRGGBB] [--rect RRGGBB,X,Y,W,H[,outline]]...

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rect {
  unsigned long color;
  int x, y;
  unsigned w, h;
  bool outline;
};

unsigned long parse_color(const char* text) { return std::strtoul(text, nullptr, 16); }

}  // namespace

int main(int argc, char** argv) {
  int x = 10, y = 10;
  unsigned w = 300, h = 200;
  bool pid_property = false, unmapped = false, override_redirect = false;
  const char* type = nullptr;
  unsigned long background = 0xffffff;
  std::vector<Rect> rects;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--geometry") {
      std::sscanf(next, "%d,%d,%u,%u", &x, &y, &w, &h);
      ++i;
    } else if (arg == "--pid-property") {
      pid_property = true;
    } else if (arg == "--unmapped") {
      unmapped = true;
    } else if (arg == "--override-redirect") {
      override_redirect = true;
    } else if (arg == "--type") {
      type = next;
      ++i;
    } else if (arg == "--fill") {
      background = parse_color(next);
      ++i;
    } else if (arg == "--rect") {
      Rect r{};
      char color[16] = {};
      char style[16] = {};
      const int n = std::sscanf(next, "%15[0-9a-fA-F],%d,%d,%u,%u,%15s", color, &r.x, &r.y, &r.w, &r.h, style);
      if (n < 5) return 2;
      r.color = parse_color(color);
      r.outline = n == 6 && std::strcmp(style, "outline") == 0;
      rects.push_back(r);
      ++i;
    } else {
      return 2;
    }
  }

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 3;
  const Window root = DefaultRootWindow(display);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = background;
  attributes.override_redirect = override_redirect ? True : False;
  attributes.event_mask = StructureNotifyMask | ExposureMask;
  const Window window = XCreateWindow(display, root, x, y, w, h, 0, CopyFromParent, InputOutput, CopyFromParent,
                                      CWBackPixel | CWOverrideRedirect | CWEventMask, &attributes);
  // Ask a window manager to keep the requested place and size.
  XSizeHints hints{};
  hints.flags = USPosition | USSize;
  hints.x = x, hints.y = y, hints.width = static_cast<int>(w), hints.height = static_cast<int>(h);
  XSetWMNormalHints(display, window, &hints);
  if (pid_property) {
    const long pid = getpid();
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
  }
  if (type != nullptr) {
    const std::string name = std::string("_NET_WM_WINDOW_TYPE_") + (std::strcmp(type, "dialog") == 0 ? "DIALOG" : "NORMAL");
    const Atom value = XInternAtom(display, name.c_str(), False);
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
  }
  const GC gc = XCreateGC(display, window, 0, nullptr);
  const auto draw = [&] {
    for (const Rect& r : rects) {
      XSetForeground(display, gc, r.color);
      if (r.outline) {
        XDrawRectangle(display, window, gc, r.x, r.y, r.w - 1, r.h - 1);
      } else {
        XFillRectangle(display, window, gc, r.x, r.y, r.w, r.h);
      }
    }
    XSync(display, False);
  };

  if (!unmapped) {
    XMapRaised(display, window);
    // Mapped (possibly by a window manager, after reparenting) and painted.
    XEvent event;
    bool mapped = false, exposed = false;
    while (!mapped || !exposed) {
      XNextEvent(display, &event);
      if (event.type == MapNotify && event.xmap.window == window) mapped = true;
      if (event.type == Expose && event.xexpose.window == window) exposed = true;
    }
    draw();
  }
  XSync(display, False);
  std::printf("ready %lu\n", window);
  std::fflush(stdout);

  // Repaint on exposure until told to go (standard input closes).
  const int x_fd = ConnectionNumber(display);
  for (;;) {
    bool expose = false;
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      expose = expose || event.type == Expose;
    }
    if (expose) draw();
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(0, &fds);
    FD_SET(x_fd, &fds);
    if (select(x_fd + 1, &fds, nullptr, nullptr, nullptr) < 0) break;
    if (FD_ISSET(0, &fds)) {
      char c;
      if (read(0, &c, 1) <= 0) break;
    }
  }
  XCloseDisplay(display);
  return 0;
}
