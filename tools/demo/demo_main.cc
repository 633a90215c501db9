// pelagon2-demo: a short, visible session with the host on a screen.
//
// It starts the host and talks to it in the framed protocol, as a browser
// extension would: it captures the screen, searches it for a button, clicks
// the button, types into a text field, captures again and reads the text back
// by recognition, then writes the capture with what it found outlined
// (demo-annotated.png). Each request is printed with its parameters, each
// reply as one line with its time.
//
// The screen is the user's own when there is one (X11: DISPLAY set and
// reachable; macOS), else a private Xvfb that the demo starts and stops. On
// the user's screen it asks before it moves the pointer or types. On X11 the
// button and the field belong to a window of ours (pelagon2-demo-window),
// which tells the demo what it received.
//
//   pelagon2-demo [--host PATH] [--window PATH] [--out DIR] [--private] [--yes]
//                 [--check] [--window-log FILE]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/base64.h"
#include "core/detached_spawn.h"
#include "core/file_io.h"
#include "core/posix.h"
#include "cv/png_input.h"
#include "cv/png_output.h"
#include "tools/client/host_client.h"
#include "tools/demo/demo_logic.h"

namespace {

using pelagon2::Json;
using pelagon2::demo::Rect;
using Clock = std::chrono::steady_clock;

constexpr const char* kTyped = "h\u00e9llo w\u00f6rld";
#ifndef __APPLE__
constexpr const char* kPrivateScreen = "1024x768x24";
#endif

// Children that a signal must not leave behind.
constexpr int kMaxChildren = 4;
volatile pid_t g_children[kMaxChildren] = {-1, -1, -1, -1};

void remember_child(pid_t pid) {
  for (auto& slot : g_children) {
    if (slot <= 0) {
      slot = pid;
      return;
    }
  }
}

void forget_child(pid_t pid) {
  for (auto& slot : g_children) {
    if (slot == pid) slot = -1;
  }
}

void on_signal(int signal_number) {
  for (auto& slot : g_children) {
    if (slot > 0) ::kill(slot, SIGTERM);
  }
  for (auto& slot : g_children) {
    if (slot > 0) ::waitpid(slot, nullptr, 0);
  }
  ::_exit(128 + signal_number);
}

// Waits for `pid` up to `timeout`, then kills it; never leaves a zombie.
void stop_child(pid_t pid, int signal_number, std::chrono::milliseconds timeout) {
  if (pid <= 0) return;
  if (signal_number != 0) ::kill(pid, signal_number);
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  while (Clock::now() < deadline) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      forget_child(pid);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  forget_child(pid);
}

std::string program_dir() {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  std::string dir(self, static_cast<std::size_t>(n));
  return dir.substr(0, dir.rfind('/') + 1);
}

// The program beside this one when installed, else the one this build made.
std::string sibling_or(const std::string& name, const char* built) {
  const std::string dir = program_dir();
  if (!dir.empty() && ::access((dir + name).c_str(), X_OK) == 0) return dir + name;
  return built;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<vision_core::RgbImage> read_png(const std::string& path) {
  const std::optional<std::string> bytes = read_file(path);
  if (!bytes) return std::nullopt;
  auto decoded = pelagon2::cv::decode_png_rgb(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()));
  if (!decoded) return std::nullopt;
  return std::move(decoded).value();
}

bool write_png(const vision_core::RgbImage& image, const std::string& path, double dpi) {
  return pelagon2::cv::write_png_file(image.pixels, image.width, image.height, pelagon2::cv::PngColor::rgb, dpi, path)
      .ok();
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

void note(const std::string& text) {
  std::printf("   %s\n", text.c_str());
  std::fflush(stdout);
}

void heading(const std::string& text) {
  std::printf("\n== %s\n", text.c_str());
  std::fflush(stdout);
}

// A child process with optional pipes to its standard input and output; the
// rest of its standard streams go to /dev/null.
struct Child {
  pid_t pid = -1;
  int in = -1;   // our end of its standard input
  int out = -1;  // our end of its standard output

  void close_pipes() {
    if (in >= 0) ::close(in), in = -1;
    if (out >= 0) ::close(out), out = -1;
  }
};

// Every descriptor of ours is close-on-exec, so only the standard streams (and
// a descriptor made without that flag on purpose) reach the child.
Child spawn(std::vector<std::string> args, const std::vector<std::string>& env_changes, bool pipe_in, bool pipe_out) {
  Child child;
  int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
  const pelagon2::UniqueFd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const pelagon2::UniqueFd null_out(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null_in.valid() || !null_out.valid() || (pipe_in && !pelagon2::cloexec_pipe(in_pipe)) ||
      (pipe_out && !pelagon2::cloexec_pipe(out_pipe))) {
    for (const int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]}) {
      if (fd >= 0) ::close(fd);
    }
    return child;
  }
  const pelagon2::ChildStreams streams{pipe_in ? in_pipe[0] : null_in.get(), pipe_out ? out_pipe[1] : null_out.get(),
                                       null_out.get()};
  const std::string program = args.front();
  args.erase(args.begin());
  const int rc = pelagon2::spawn_child(program, args, streams, env_changes, child.pid);
  if (pipe_in) ::close(in_pipe[0]), child.in = in_pipe[1];
  if (pipe_out) ::close(out_pipe[1]), child.out = out_pipe[0];
  if (rc != 0) {
    child.pid = -1;
    child.close_pipes();
    return child;
  }
  remember_child(child.pid);
  return child;
}

#ifndef __APPLE__
// Starts Xvfb on a display number it picks itself; ":N", or empty.
std::string start_xvfb(Child& xvfb) {
  int fds[2];
  if (!pelagon2::cloexec_pipe(fds)) return {};
  // The write end is the only descriptor of ours Xvfb may inherit.
  const int child_fd = ::fcntl(fds[1], F_DUPFD, 10);
  ::close(fds[1]);
  if (child_fd < 0) {
    ::close(fds[0]);
    return {};
  }
  xvfb = spawn({"Xvfb", "-displayfd", std::to_string(child_fd), "-nolisten", "tcp", "-noreset", "-screen", "0",
                kPrivateScreen},
               {}, false, false);
  ::close(child_fd);
  std::string number;
  if (xvfb.pid > 0) {
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
      if (::poll(&p, 1, 200) <= 0) continue;
      char buffer[32];
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      number.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    stop_child(xvfb.pid, SIGTERM, std::chrono::seconds(5));
    xvfb.pid = -1;
    return {};
  }
  return ":" + number.substr(0, number.find('\n'));
}

// Whether the host sees a screen on the DISPLAY of the environment.
bool display_reachable(const std::string& host_path) {
  pelagon2::HostClient probe(host_path);
  if (!probe.started()) return false;
  const std::optional<Json> reply = probe.call("get_display_list", Json::object());
  return reply && reply->contains("result") && (*reply)["result"].is_array() && !(*reply)["result"].empty();
}
#endif

// The demo window's report, read as it arrives.
class WindowLink {
 public:
  explicit WindowLink(Child child) : child_(child) {}
  ~WindowLink() { stop(); }
  WindowLink(const WindowLink&) = delete;
  WindowLink& operator=(const WindowLink&) = delete;

  bool running() const { return child_.pid > 0; }
  const pelagon2::demo::WindowReport& report() const { return report_; }

  // Reads what the window says until `done` holds or the time is up.
  bool wait_for(const std::function<bool(const pelagon2::demo::WindowReport&)>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done(report_)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || child_.out < 0) return false;
      pollfd p{child_.out, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left));
      if (ready < 0 && errno != EINTR) return false;
      if (ready <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(child_.out, chunk, sizeof chunk);
      if (n <= 0) {
        ::close(child_.out);
        child_.out = -1;
        return done(report_);
      }
      buffer_.append(chunk, static_cast<std::size_t>(n));
      // Our window's lines are short; anything else is not worth keeping.
      if (buffer_.size() > 65536 && buffer_.find('\n') == std::string::npos) buffer_.clear();
      for (std::size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
        pelagon2::demo::apply_window_line(report_, std::string_view(buffer_).substr(0, end));
        buffer_.erase(0, end + 1);
      }
    }
    return true;
  }

  // Closing its input tells the window to go.
  void stop() {
    if (child_.in >= 0) ::close(child_.in), child_.in = -1;
    stop_child(child_.pid, 0, std::chrono::seconds(3));
    child_.pid = -1;
    child_.close_pipes();
  }

 private:
  Child child_;
  pelagon2::demo::WindowReport report_;
  std::string buffer_;
};

// The host and the printing of requests and replies.
class Session {
 public:
  Session(const std::string& host_path, std::vector<std::string> env) : host_(host_path, std::move(env)) {
    if (host_.started()) remember_child(host_.pid());
  }
  ~Session() {
    host_.close_input();
    host_.wait_exit();
    forget_child(host_.pid());
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool started() const { return host_.started(); }
  const std::string& last_error() const { return host_.last_error(); }

  // The reply's result, or nullopt on an error reply or no reply at all.
  std::optional<Json> call(const std::string& method, const Json& params) {
    std::printf("-> %s %s\n", method.c_str(), pelagon2::demo::short_params(params).c_str());
    std::fflush(stdout);
    const auto start = Clock::now();
    const std::optional<Json> reply = host_.call(method, params, Json(++id_));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!reply) {
      std::printf("<- no reply: %s (%s)\n", host_.last_error().c_str(), pelagon2::demo::format_duration(ms).c_str());
      std::fflush(stdout);
      return std::nullopt;
    }
    std::printf("<- %s (%s)\n", pelagon2::demo::summarize(method, *reply).c_str(),
                pelagon2::demo::format_duration(ms).c_str());
    std::fflush(stdout);
    if (!reply->contains("result")) return std::nullopt;
    return (*reply)["result"];
  }

 private:
  pelagon2::HostClient host_;
  long long id_ = 0;
};

struct Options {
  std::string host;
  std::string window;
  std::string out = "demo-output";
  std::string window_log;
  bool private_screen = false;
  bool assume_yes = false;
  bool check = false;
};

int usage() {
  std::fprintf(stderr,
               "usage: pelagon2-demo [--host PATH] [--window PATH] [--out DIR] [--private] [--yes] [--check]\n"
               "                     [--window-log FILE]\n"
               "  --out DIR     where the captures and demo-annotated.png go (default: demo-output)\n"
               "  --private     always use a private Xvfb, never the screen in DISPLAY\n"
               "  --yes         do not ask before moving the pointer and typing on your screen\n"
               "  --check       exit 1 unless the click and the typed text reached the window\n"
               "  --window-log  the demo window also writes what it received to this file\n");
  return 2;
}

std::optional<Options> parse_options(int argc, char** argv) {
  Options o;
#ifdef PELAGON2_DEMO_WINDOW
  o.window = sibling_or("pelagon2-demo-window", PELAGON2_DEMO_WINDOW);
#endif
  o.host = sibling_or("pelagon2", PELAGON2_BUILT_HOST);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--private") {
      o.private_screen = true;
    } else if (arg == "--yes") {
      o.assume_yes = true;
    } else if (arg == "--check") {
      o.check = true;
    } else if (arg == "--host" && has_value) {
      o.host = argv[++i];
    } else if (arg == "--window" && has_value) {
      o.window = argv[++i];
    } else if (arg == "--out" && has_value) {
      o.out = argv[++i];
    } else if (arg == "--window-log" && has_value) {
      o.window_log = argv[++i];
    } else {
      return std::nullopt;
    }
  }
  return o;
}

// Files and commands, briefly: the host is more than a screen.
void files_and_commands(Session& session, const std::string& out) {
  heading("files and commands");
  const std::string note_path = out + "/note.txt";
  session.call("write_all_text", {{"path", note_path}, {"content", std::string("written by the demo: ") + kTyped}});
  session.call("read_all_text", {{"path", note_path}});
  session.call("run_process",
               {{"fileName", "/bin/sh"}, {"arguments", "-c 'echo hello from the shell'"}, {"waitForExit", true}});
}

// The screen part of the session, step by step, with what each step found.
class DesktopDemo {
 public:
  DesktopDemo(Session& session, const Options& options, std::string out, bool own_screen,
              std::vector<std::string> screen_env)
      : session_(session),
        options_(options),
        out_(std::move(out)),
        own_screen_(own_screen),
        screen_env_(std::move(screen_env)) {}

  bool window_got_click() const { return window_got_click_; }
  bool window_got_text() const { return window_got_text_; }
  bool annotated_written() const { return annotated_written_; }
  std::string annotated_path() const { return out_ + "/demo-annotated.png"; }

  void run() {
    heading("the screen");
    displays_ = session_.call("get_display_list", Json::object()).value_or(Json::array());
    const std::optional<Json> scale = session_.call("get_screen_backing_scale_factor", Json::object());
    if (scale && scale->is_number() && scale->get<double>() > 0) scale_ = scale->get<double>();
    if (!options_.window.empty()) start_window();
    find();
    heading("pointer and keyboard");
    click_and_type();
    heading("reading it back");
    read_back();
  }

  // Closing its input tells the window to go.
  void stop_window() {
    if (window_) window_->stop();
  }

 private:
  // Our window, where there is X11: something to find, click and type into.
  void start_window() {
    std::vector<std::string> args = {options_.window, "--pattern", out_ + "/button.png"};
    if (!own_screen_) args.insert(args.end(), {"--at", "120,100"});
    if (!options_.window_log.empty()) args.insert(args.end(), {"--log", options_.window_log});
    window_ = std::make_unique<WindowLink>(spawn(args, screen_env_, true, true));
    const bool placed =
        window_->running() && window_->wait_for([](const auto& r) { return r.window && r.button; }, std::chrono::seconds(10));
    if (!placed) {
      note("the demo window did not come up; going on without it");
      window_.reset();
      return;
    }
    const Rect& w = *window_->report().window;
    note("the demo window is up at (" + std::to_string(w.x) + "," + std::to_string(w.y) + "), " +
         std::to_string(w.width) + "x" + std::to_string(w.height));
    // A compositor may show a new window a moment after it is mapped.
    if (own_screen_) std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }

  // The first capture, the pattern and the search for it.
  void find() {
    const std::string capture_path = out_ + "/capture-1.png";
    session_.call("capture_desktop", {{"path", capture_path}});
    capture1_ = read_png(capture_path);
    if (!capture1_) note("the capture could not be read back");

    // The pattern: the window's button, or a busy piece of the first
    // capture's top-left strip (menu bar or panel), which stays put while
    // the terminal with this output scrolls.
    std::string pattern_path;
    if (window_) {
      pattern_path = out_ + "/button.png";
    } else if (capture1_) {
      const auto side = static_cast<std::uint32_t>(std::lround(std::max(1.0, scale_)));
      const Rect strip{0, 0, std::max<std::int64_t>(capture1_->width / 3, 120 * side), 24 * side};
      if (const std::optional<Rect> cut = pelagon2::demo::textured_cut(*capture1_, 120 * side, 20 * side, strip)) {
        pattern_path = out_ + "/pattern.png";
        if (write_png(pelagon2::demo::crop(*capture1_, *cut), pattern_path, 96.0 * scale_)) {
          note("no window of ours here: the pattern is a piece of the capture");
        } else {
          pattern_path.clear();
        }
      }
    }
    const std::optional<std::string> bytes = pattern_path.empty() ? std::nullopt : read_file(pattern_path);
    if (!bytes) {
      note("nothing on the screen to search for");
      return;
    }
    pattern_ = Json{{"data", pelagon2::base64_encode(*bytes)}};
    const std::optional<Json> result = search();
    const std::vector<Rect> matches = result ? pelagon2::demo::region_rects(*result) : std::vector<Rect>{};
    if (!matches.empty()) match_ = matches.front();
  }

  std::optional<Json> search() {
    return session_.call("search_desktop", {{"pattern", pattern_}, {"options", {{"minSimilarity", 0.9}}}});
  }

  void click_and_type() {
    if (!match_) {
      note("skipped: nothing was found to click");
      return;
    }
    // Root pixels of X11 are screen pixels: the match must be our button, or
    // the click would land on whatever else looks like it.
    if (window_ && !(window_->report().button && pelagon2::demo::centre_inside(*match_, *window_->report().button))) {
      note("skipped: what was found is not the demo window's button (is the window covered?)");
      return;
    }
    if (!consent()) return;

    click_ = pelagon2::demo::centre(*match_);
    // Search results are screen pixels; input takes points. Without our
    // window only the pointer moves.
    session_.call("send_mouse_event",
                  {{"type", window_ ? 3 : 0},
                   {"button", 0},
                   {"x", static_cast<std::int64_t>(std::floor(static_cast<double>(click_->x) / scale_))},
                   {"y", static_cast<std::int64_t>(std::floor(static_cast<double>(click_->y) / scale_))}});
    if (!window_) {
      note("typing skipped: there is no window of ours to type into");
      return;
    }
    window_got_click_ = window_->wait_for([](const auto& r) { return r.button_clicks > 0; }, std::chrono::seconds(3));
    if (!window_got_click_) {
      note("the window saw no click on its button; typing skipped");
      return;
    }
    note("the window saw a click on its button");
    if (!window_->wait_for([](const auto& r) { return r.focused; }, std::chrono::seconds(3))) {
      note("typing skipped: the window did not get the keyboard focus, and the keys would go elsewhere");
      return;
    }
    session_.call("send_text", {{"text", kTyped}});
    window_got_text_ = window_->wait_for([](const auto& r) { return r.text == kTyped; }, std::chrono::seconds(3));
    note(window_got_text_ ? std::string("the window's field now holds \"") + kTyped + "\""
                          : "the window's field holds \"" + window_->report().text + "\", not \"" + kTyped + "\"");
  }

  // Asks on the user's own screen; our private screen needs nobody's leave.
  bool consent() {
    const bool terminal = ::isatty(0) == 1;
    std::optional<std::string> answer;
    if (pelagon2::demo::needs_prompt(own_screen_, options_.assume_yes, terminal)) {
      if (window_) {
        std::printf("The demo will now move your pointer onto its window's button, click it and type \"%s\" into its "
                    "text field. Go ahead? [y/N] ",
                    kTyped);
      } else {
        std::printf("The demo will now move your pointer onto what it found (no click, no typing: there is no window "
                    "of ours to type into). Go ahead? [y/N] ");
      }
      std::fflush(stdout);
      char line[256];
      if (std::fgets(line, sizeof line, stdin) != nullptr) answer = line;
    }
    switch (pelagon2::demo::decide_consent(own_screen_, options_.assume_yes, terminal, answer)) {
      case pelagon2::demo::Consent::granted:
        return true;
      case pelagon2::demo::Consent::no_terminal:
        note("skipped: this is your screen and there is no terminal to ask whether the demo may use your pointer "
             "and keyboard (--yes allows it)");
        return false;
      case pelagon2::demo::Consent::declined:
        note("skipped: you said no");
        return false;
    }
    return false;
  }

  // The second capture, the search again, recognition and the picture.
  void read_back() {
    const std::string capture_path = out_ + "/capture-2.png";
    session_.call("capture_desktop", {{"path", capture_path}});
    const std::optional<vision_core::RgbImage> picture = read_png(capture_path);
    if (window_got_click_) {
      const std::optional<Json> again = search();
      if (again && pelagon2::demo::region_rects(*again).empty()) note("the button changed when it was clicked");
    }
    if (!picture) {
      note("the capture could not be read back");
      return;
    }
    const pelagon2::demo::Point origin = pelagon2::demo::capture_origin(displays_, picture->width, picture->height);

    // Recognition of our window only, where there is one: quicker than the whole screen.
    std::optional<Rect> area;
    std::string ocr_path = capture_path;
    if (window_ && window_->report().window) {
      const Rect& w = *window_->report().window;
      const auto px = [&](std::int64_t v) { return std::llround(static_cast<double>(v) * scale_); };
      area = pelagon2::demo::clip_rect(Rect{px(w.x), px(w.y), px(w.width), px(w.height)}, origin.x, origin.y,
                                       picture->width, picture->height);
      if (area && write_png(pelagon2::demo::crop(*picture, *area), out_ + "/window-2.png", 96.0 * scale_)) {
        ocr_path = out_ + "/window-2.png";
      } else {
        area.reset();
      }
    }
    std::vector<Rect> lines;
    if (const std::optional<Json> text = session_.call("ocr_image", {{"path", ocr_path}})) {
      for (Rect r : pelagon2::demo::ocr_line_rects(*text)) {
        if (area) r.x += area->x, r.y += area->y;
        lines.push_back(r);
      }
      if (window_got_text_) say_read_back(text->value("text", std::string()));
    }
    annotate(*picture, origin, lines);
  }

  static void say_read_back(const std::string& recognised) {
    switch (pelagon2::demo::compare_read_back(kTyped, recognised)) {
      case pelagon2::demo::ReadBack::exact:
        note(std::string("recognition read the typed text back: \"") + kTyped + "\"");
        break;
      case pelagon2::demo::ReadBack::without_accents:
        note("recognition read the typed text back apart from accents, which its model does not always tell apart");
        break;
      case pelagon2::demo::ReadBack::missing:
        note("recognition did not read the typed text back (it is approximate)");
        break;
    }
  }

  // The client draws what was found; the host only reported it. Outlines sit
  // just outside what they mark, so they hide none of it.
  void annotate(vision_core::RgbImage picture, const pelagon2::demo::Point& origin, const std::vector<Rect>& lines) {
    const auto around = [](const Rect& r, std::int64_t by) {
      return Rect{r.x - by, r.y - by, r.width + 2 * by, r.height + 2 * by};
    };
    for (const Rect& r : lines) pelagon2::demo::draw_outline(picture, around(r, 3), {255, 140, 0}, 2);
    if (match_) {
      const Rect& m = *match_;
      pelagon2::demo::draw_outline(picture, around(Rect{m.x - origin.x, m.y - origin.y, m.width, m.height}, 3),
                                   {255, 0, 255}, 3);
    }
    if (click_) {
      const std::int64_t cx = click_->x - origin.x, cy = click_->y - origin.y;
      pelagon2::demo::draw_outline(picture, Rect{cx - 9, cy - 1, 19, 3}, {230, 0, 0}, 2);
      pelagon2::demo::draw_outline(picture, Rect{cx - 1, cy - 9, 3, 19}, {230, 0, 0}, 2);
    }
    annotated_written_ = write_png(picture, annotated_path(), 96.0 * scale_);
  }

  Session& session_;
  const Options& options_;
  const std::string out_;
  const bool own_screen_;
  const std::vector<std::string> screen_env_;

  Json displays_ = Json::array();
  double scale_ = 1.0;
  std::unique_ptr<WindowLink> window_;
  std::optional<vision_core::RgbImage> capture1_;
  Json pattern_;
  std::optional<Rect> match_;                   // screen pixels
  std::optional<pelagon2::demo::Point> click_;  // screen pixels
  bool window_got_click_ = false;
  bool window_got_text_ = false;
  bool annotated_written_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> parsed = parse_options(argc, argv);
  if (!parsed) return usage();
  const Options& options = *parsed;
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, on_signal);
  ::signal(SIGPIPE, SIG_IGN);
  const auto session_start = Clock::now();

  ::mkdir(options.out.c_str(), 0777);
  const std::string out = absolute(options.out);
  struct stat out_stat {};
  if (::stat(out.c_str(), &out_stat) != 0 || !S_ISDIR(out_stat.st_mode)) {
    std::fprintf(stderr, "pelagon2-demo: cannot use %s as the output folder\n", out.c_str());
    return 2;
  }

  std::printf("pelagon2 desktop demo\n");
  // Which screen: the user's, or a private X server of our own.
  bool own_screen = false;
  std::string private_display;
  Child xvfb;
#ifdef __APPLE__
  own_screen = true;
  std::printf("screen: yours\n");
#else
  const char* env_display = std::getenv("DISPLAY");
  if (!options.private_screen && env_display != nullptr && *env_display != '\0') {
    if (display_reachable(options.host)) {
      own_screen = true;
      std::printf("screen: yours (DISPLAY=%s)\n", env_display);
    } else {
      std::printf("DISPLAY=%s shows the host no screen; using a private one instead\n", env_display);
    }
  }
  if (!own_screen) {
    if (options.window.empty()) {
      std::printf("screen: none (this build has no X11 support)\n");
    } else {
      private_display = start_xvfb(xvfb);
      if (private_display.empty()) {
        std::printf("screen: none (Xvfb could not be started; install the xvfb package)\n");
      } else {
        std::printf("screen: a private X server, Xvfb %s (%s), pid %d\n", private_display.c_str(), kPrivateScreen,
                    static_cast<int>(xvfb.pid));
      }
    }
  }
#endif
  const bool have_screen = own_screen || !private_display.empty();
  std::vector<std::string> screen_env;
  if (!private_display.empty()) screen_env.push_back("DISPLAY=" + private_display);

  bool clicked = false, typed = false, annotated = false;
  std::string annotated_path;
  {
    Session session(options.host, screen_env);
    if (!session.started()) {
      std::fprintf(stderr, "pelagon2-demo: %s\n", session.last_error().c_str());
      stop_child(xvfb.pid, SIGTERM, std::chrono::seconds(5));
      return 1;
    }
    heading("the host");
    session.call("get_version", Json::object());
    DesktopDemo desktop(session, options, out, own_screen, screen_env);
    if (have_screen) {
      desktop.run();
    } else {
      note("no screen: the screen, pointer and keyboard steps are left out");
    }
    files_and_commands(session, out);
    desktop.stop_window();
    clicked = desktop.window_got_click();
    typed = desktop.window_got_text();
    annotated = desktop.annotated_written();
    annotated_path = desktop.annotated_path();
  }
  stop_child(xvfb.pid, SIGTERM, std::chrono::seconds(5));

  heading("done");
  if (have_screen && !annotated) std::printf("no annotated capture: the screen could not be captured\n");
  if (annotated) {
    std::printf("annotated capture: %s\n", annotated_path.c_str());
    std::printf("   magenta: the button search_desktop found; orange: the lines ocr_image read; red: the click\n");
    std::printf("   the captures and the pattern are beside it, in %s\n", out.c_str());
  }
  const double total = std::chrono::duration<double, std::milli>(Clock::now() - session_start).count();
  std::printf("the whole session took %s\n", pelagon2::demo::format_duration(total).c_str());
  if (options.check && !(clicked && typed && annotated)) {
    std::printf("check failed: click %s, text %s, annotated capture %s\n", clicked ? "seen" : "not seen",
                typed ? "seen" : "not seen", annotated ? "written" : "missing");
    return 1;
  }
  return 0;
}
