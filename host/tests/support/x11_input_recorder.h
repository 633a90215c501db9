#pragma once
// A real X client that records the input reaching it: a window covering the
// screen that takes the keyboard focus and logs key, button and motion
// events. It decodes each key event twice, the two ways applications do:
// - Xlib with XKB (xterm, Xt and GTK2 applications): XLookupString on the
//   event, so the core protocol's case rules (a one-keysym row of a letter is
//   read as its lower and upper case) and the group in the event's state
//   (bits 13-14) apply; the map is re-read, lazily as Xlib does, after a
//   MappingNotify.
// - xkbcommon (GTK3/Qt5 on X11): a keymap fetched from the server afresh on
//   every MappingNotify, and a state set from the event's modifiers and
//   group.
// A character counts as typed only when both decodings agree. The client runs
// in a child process with its own connections.
//
// Include <gtest/gtest.h> before this header (Xlib's macros break gtest).

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace pelagon2::testing {

// True when the server has no key held down, whoever pressed it.
inline bool no_key_down(Display* d) {
  std::array<char, 32> keys{};
  XQueryKeymap(d, keys.data());
  for (const char k : keys) {
    if (k != 0) return false;
  }
  return true;
}

struct RecordedEvent {
  std::string kind;  // "press", "release", "button_press", "button_release", "motion", "mapping"
  unsigned keycode = 0;
  unsigned long keysym = 0;  // as Xlib with XKB decodes the event
  unsigned state = 0;
  std::string text;  // UTF-8 of that keysym
  unsigned long xkb_keysym = 0;  // as xkbcommon decodes it
  std::string xkb_text;          // what xkbcommon gives as the key's text
  unsigned button = 0;
  int x = 0;
  int y = 0;
  long long time_ns = 0;  // CLOCK_MONOTONIC when the recorder had handled it
};

class InputRecorder {
 public:
  // `busy_ms`: time the client spends on each key or mapping event, like an
  // application with work to do; events queue up meanwhile.
  explicit InputRecorder(const std::string& display_name, int busy_ms = 0) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      run_child(display_name, fds[1], busy_ms);
      _exit(0);
    }
    ::close(fds[1]);
    fd_ = fds[0];
    if (pid_ < 0) return;
    const std::string first = read_line(10000);
    if (first.rfind("ready ", 0) == 0) window_ = std::strtoul(first.c_str() + 6, nullptr, 10);  // " @…" ends the number
    display_ = XOpenDisplay(display_name.c_str());
  }

  ~InputRecorder() {
    if (display_) XCloseDisplay(display_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    if (fd_ >= 0) ::close(fd_);
  }
  InputRecorder(const InputRecorder&) = delete;
  InputRecorder& operator=(const InputRecorder&) = delete;

  bool ready() const { return window_ != 0 && display_ != nullptr; }
  // The test's own connection (for keymap and pointer queries).
  Display* display() const { return display_; }

  // Every event recorded since the last call: a marker sent through the
  // server after everything already processed comes back last.
  std::vector<RecordedEvent> take() {
    std::vector<RecordedEvent> events;
    const long marker = ++markers_;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window_;
    e.xclient.format = 32;
    e.xclient.message_type = XInternAtom(display_, "PELAGON2_TEST_MARKER", False);
    e.xclient.data.l[0] = marker;
    XSendEvent(display_, window_, False, NoEventMask, &e);
    XSync(display_, False);
    while (true) {
      const std::string line = read_line(10000);
      if (line.empty()) break;
      RecordedEvent recorded = parse(line);
      if (recorded.kind == "marker " + std::to_string(marker)) break;
      events.push_back(std::move(recorded));
    }
    return events;
  }

  // The keys typed: the text of every key press that is not a modifier,
  // Return as "\n" and Tab as "\t". A press the two decodings read
  // differently shows as <xlib 'é' | xkbcommon 'É'>, one neither can read as
  // its keysym in hex.
  static std::string typed(const std::vector<RecordedEvent>& events) {
    std::string out;
    for (const RecordedEvent& e : events) {
      if (e.kind != "press" || IsModifierKey(e.keysym)) continue;
      if (e.text != e.xkb_text || (e.text.empty() && e.keysym != e.xkb_keysym)) {
        out += "<xlib '" + show(e.keysym, e.text) + "' | xkbcommon '" + show(e.xkb_keysym, e.xkb_text) + "'>";
      } else if (e.keysym == 0xff0d) {
        out += "\n";
      } else if (e.keysym == 0xff09) {
        out += "\t";
      } else {
        out += show(e.keysym, e.text);
      }
    }
    return out;
  }

 private:
  static std::string show(unsigned long keysym, const std::string& text) {
    if (!text.empty()) return text;
    char name[32];
    std::snprintf(name, sizeof name, "<%#lx>", keysym);
    return name;
  }

  static std::string hex(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
      char byte[4];
      std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(*p));
      out += byte;
    }
    return out.empty() ? "-" : out;
  }

  static std::string unhex(const std::string& h) {
    std::string out;
    if (h == "-") return out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2) {
      out.push_back(static_cast<char>(std::strtoul(h.substr(i, 2).c_str(), nullptr, 16)));
    }
    return out;
  }

  // The xkbcommon side: the keymap as the server has it now.
  struct XkbDecoder {
    xcb_connection_t* connection = nullptr;
    xkb_context* context = nullptr;
    std::int32_t device = -1;
    xkb_keymap* keymap = nullptr;
    xkb_state* state = nullptr;

    explicit XkbDecoder(const std::string& display_name) {
      connection = xcb_connect(display_name.c_str(), nullptr);
      context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
      if (xcb_connection_has_error(connection) || !context ||
          !xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                       XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr)) {
        return;
      }
      device = xkb_x11_get_core_keyboard_device_id(connection);
      reload();
    }
    ~XkbDecoder() {
      if (state) xkb_state_unref(state);
      if (keymap) xkb_keymap_unref(keymap);
      if (context) xkb_context_unref(context);
      if (connection) xcb_disconnect(connection);
    }
    XkbDecoder(const XkbDecoder&) = delete;
    XkbDecoder& operator=(const XkbDecoder&) = delete;

    void reload() {
      if (device < 0) return;
      xkb_keymap* fresh = xkb_x11_keymap_new_from_device(context, connection, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
      if (!fresh) return;
      if (state) xkb_state_unref(state);
      if (keymap) xkb_keymap_unref(keymap);
      keymap = fresh;
      state = xkb_state_new(keymap);
    }

    // The keysym and text of `keycode` with the modifiers and group the
    // event's state carries.
    std::pair<xkb_keysym_t, std::string> decode(unsigned keycode, unsigned event_state) {
      if (!state) return {0, {}};
      xkb_state_update_mask(state, event_state & 0xff, 0, 0, 0, 0, (event_state >> 13) & 3);
      const xkb_keysym_t keysym = xkb_state_key_get_one_sym(state, keycode);
      char text[64] = {};
      if (event_state & ControlMask) {
        // The text of a control combination is a control character; the key's own is what tests compare.
        xkb_keysym_to_utf8(keysym, text, sizeof text);
      } else {
        xkb_state_key_get_utf8(state, keycode, text, sizeof text);
      }
      return {keysym, text};
    }
  };

  static long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
  }

  // Each line ends with the time it was written.
  static void write_line(int fd, const std::string& line) {
    const std::string data = line + " @" + std::to_string(now_ns()) + "\n";
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n <= 0) _exit(0);
      done += static_cast<std::size_t>(n);
    }
  }

  static int quit_on_io_error(Display*) { _exit(0); }

  static void busy(int ms) {
    if (ms <= 0) return;
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
  }

  static void run_child(const std::string& display_name, int fd, int busy_ms) {
    XSetIOErrorHandler(quit_on_io_error);
    Display* d = XOpenDisplay(display_name.c_str());
    if (!d) _exit(1);
    XkbDecoder xkb(display_name);
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    const Window w = XCreateSimpleWindow(d, root, 0, 0, static_cast<unsigned>(DisplayWidth(d, screen)),
                                         static_cast<unsigned>(DisplayHeight(d, screen)), 0, 0, 0);
    XSelectInput(
        d, w,
        KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | StructureNotifyMask);
    // Load the keyboard map now, as applications do at start-up; Xlib would
    // otherwise fetch it at the first key event and follow changes only from then on.
    XKeysymToKeycode(d, XK_a);
    XMapRaised(d, w);
    XEvent e;
    do {
      XNextEvent(d, &e);
    } while (e.type != MapNotify);
    XSetInputFocus(d, w, RevertToParent, CurrentTime);
    XSync(d, False);
    write_line(fd, "ready " + std::to_string(w));
    while (true) {
      XNextEvent(d, &e);
      switch (e.type) {
        case MappingNotify:
          // What applications do: read the new map before the next key event.
          busy(busy_ms);
          XRefreshKeyboardMapping(&e.xmapping);
          if (e.xmapping.request == MappingKeyboard) xkb.reload();
          write_line(fd,
                     "mapping " + std::to_string(e.xmapping.first_keycode) + " " + std::to_string(e.xmapping.count));
          break;
        case KeyPress:
        case KeyRelease: {
          busy(busy_ms);
          char buffer[64];
          KeySym keysym = NoSymbol;
          XLookupString(&e.xkey, buffer, sizeof buffer, &keysym, nullptr);
          char text[16] = {};
          xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(keysym), text, sizeof text);
          const auto [xkb_keysym, xkb_text] = xkb.decode(e.xkey.keycode, e.xkey.state);
          write_line(fd, std::string(e.type == KeyPress ? "press " : "release ") + std::to_string(e.xkey.keycode) +
                             " " + std::to_string(keysym) + " " + std::to_string(e.xkey.state) + " " + hex(text) +
                             " " + std::to_string(xkb_keysym) + " " + hex(xkb_text.c_str()));
          break;
        }
        case ButtonPress:
        case ButtonRelease:
          write_line(fd, std::string(e.type == ButtonPress ? "button_press " : "button_release ") +
                             std::to_string(e.xbutton.button) + " " + std::to_string(e.xbutton.x_root) + " " +
                             std::to_string(e.xbutton.y_root));
          break;
        case MotionNotify:
          write_line(fd, "motion " + std::to_string(e.xmotion.x_root) + " " + std::to_string(e.xmotion.y_root));
          break;
        case ClientMessage:
          write_line(fd, "marker " + std::to_string(e.xclient.data.l[0]));
          break;
        default:
          break;
      }
    }
  }

  std::string read_line(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      const std::size_t newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return {};
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  static RecordedEvent parse(std::string line) {
    RecordedEvent e;
    if (const std::size_t at = line.rfind(" @"); at != std::string::npos) {
      e.time_ns = std::strtoll(line.c_str() + at + 2, nullptr, 10);
      line.erase(at);
    }
    char kind[32] = {};
    if (line.rfind("press ", 0) == 0 || line.rfind("release ", 0) == 0) {
      char xlib_hex[128] = {}, xkb_hex[128] = {};
      std::sscanf(line.c_str(), "%31s %u %lu %u %127s %lu %127s", kind, &e.keycode, &e.keysym, &e.state, xlib_hex,
                  &e.xkb_keysym, xkb_hex);
      e.kind = kind;
      e.text = unhex(xlib_hex);
      e.xkb_text = unhex(xkb_hex);
    } else if (line.rfind("button_", 0) == 0) {
      std::sscanf(line.c_str(), "%31s %u %d %d", kind, &e.button, &e.x, &e.y);
      e.kind = kind;
    } else if (line.rfind("motion ", 0) == 0) {
      std::sscanf(line.c_str(), "%31s %d %d", kind, &e.x, &e.y);
      e.kind = kind;
    } else {
      e.kind = line;
    }
    return e;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  unsigned long window_ = 0;
  Display* display_ = nullptr;
  long markers_ = 0;
  std::string buffer_;
};

}  // namespace pelagon2::testing
