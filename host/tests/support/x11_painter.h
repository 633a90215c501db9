#pragma once
// A real X client for tests: puts known pixels on a private X server (windows
// showing an RGB image, solid blocks), possibly from a child process after a
// delay, and runs xrandr against that server. Include <gtest/gtest.h> before
// this header: Xlib's macros break gtest's.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "vision_core/image.h"

extern char** environ;

namespace pelagon2::testing {

// One connection to the server named `display` (":N"), never to the
// environment's DISPLAY. Windows it made vanish with it.
class X11Painter {
 public:
  explicit X11Painter(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
    // A test may stop the server under us; that must not end the test program
    // (Xlib's default I/O error handler exits, so it is replaced for the process).
    if (display_ != nullptr) {
      XSetIOErrorHandler([](Display*) { return 0; });
      XSetIOErrorExitHandler(display_, [](Display*, void*) {}, nullptr);
    }
  }
  ~X11Painter() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  X11Painter(const X11Painter&) = delete;
  X11Painter& operator=(const X11Painter&) = delete;

  bool connected() const { return display_ != nullptr; }
  Display* display() const { return display_; }

  // The pixel value the server's default visual uses for an 8-bit colour.
  unsigned long pixel_of(std::uint8_t r, std::uint8_t g, std::uint8_t b) const {
    const Visual* visual = DefaultVisual(display_, DefaultScreen(display_));
    return scaled(r, visual->red_mask) | scaled(g, visual->green_mask) | scaled(b, visual->blue_mask);
  }

  // A borderless window above everything at (x, y) in root pixels showing
  // `image`; the server repaints it from its background, so it stays visible.
  Window show(const vision_core::RgbImage& image, int x, int y) {
    const int screen = DefaultScreen(display_);
    const Window root = RootWindow(display_, screen);
    const auto depth = static_cast<unsigned>(DefaultDepth(display_, screen));
    const Pixmap pixmap = XCreatePixmap(display_, root, image.width, image.height, depth);
    XImage* ximage = XCreateImage(display_, DefaultVisual(display_, screen), depth, ZPixmap, 0, nullptr, image.width,
                                  image.height, 32, 0);
    ximage->data = static_cast<char*>(std::malloc(static_cast<std::size_t>(ximage->bytes_per_line) * image.height));
    for (std::uint32_t row = 0; row < image.height; ++row) {
      for (std::uint32_t col = 0; col < image.width; ++col) {
        const std::uint8_t* p = &image.pixels[(std::size_t{row} * image.width + col) * 3];
        XPutPixel(ximage, static_cast<int>(col), static_cast<int>(row), pixel_of(p[0], p[1], p[2]));
      }
    }
    const GC gc = XCreateGC(display_, pixmap, 0, nullptr);
    XPutImage(display_, pixmap, gc, ximage, 0, 0, 0, 0, image.width, image.height);
    XFreeGC(display_, gc);
    XDestroyImage(ximage);
    const Window window = make_window(x, y, image.width, image.height);
    XSetWindowBackgroundPixmap(display_, window, pixmap);
    XFreePixmap(display_, pixmap);
    map(window);
    return window;
  }

  // A solid block of one colour.
  Window fill(int x, int y, unsigned width, unsigned height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    const Window window = make_window(x, y, width, height);
    XSetWindowBackground(display_, window, pixel_of(r, g, b));
    map(window);
    return window;
  }

  void remove(Window window) {
    XDestroyWindow(display_, window);
    XSync(display_, False);
  }

 private:
  static unsigned long scaled(std::uint8_t value, unsigned long mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (((mask >> shift) & 1) == 0) ++shift;
    const unsigned long max = mask >> shift;
    return ((value * max + 127) / 255) << shift;
  }

  Window make_window(int x, int y, unsigned width, unsigned height) {
    const int screen = DefaultScreen(display_);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(display_, screen);
    return XCreateWindow(display_, RootWindow(display_, screen), x, y, width, height, 0, CopyFromParent, InputOutput,
                         CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  }

  void map(Window window) {
    XMapRaised(display_, window);
    XClearWindow(display_, window);
    // Once the server has answered, the window is on the screen.
    XSync(display_, False);
  }

  Display* display_;
};

// Shows an image from a child process after `delay`, as another program
// would; the window lives until this object ends the child (by its pid).
class DelayedPainter {
 public:
  DelayedPainter(const std::string& display, const vision_core::RgbImage& image, int x, int y,
                 std::chrono::milliseconds delay) {
    pid_ = fork();
    if (pid_ != 0) return;
    // The child holds none of the test's descriptors (the host's pipes above all).
    for (int fd = 3; fd < 4096; ++fd) close(fd);
    std::this_thread::sleep_for(delay);
    X11Painter painter(display);
    if (painter.connected()) painter.show(image, x, y);
    for (;;) pause();
  }
  ~DelayedPainter() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  DelayedPainter(const DelayedPainter&) = delete;
  DelayedPainter& operator=(const DelayedPainter&) = delete;

 private:
  pid_t pid_ = -1;
};

// Runs `xrandr args…` against `display`; its exit status (-1 when it could not run).
inline int run_xrandr(const std::string& display, std::vector<std::string> args) {
  args.insert(args.begin(), "xrandr");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_storage = {"DISPLAY=" + display};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("DISPLAY=", 0) != 0) env_storage.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (std::string& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "xrandr", &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace pelagon2::testing
