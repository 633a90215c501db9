#include "tools/demo/demo_session.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>

#include "core/base64.h"
#include "core/deadline.h"
#include "tools/demo/demo_children.h"
#include "tools/demo/demo_picture.h"

namespace pelagon2::demo {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTyped = "h\u00e9llo w\u00f6rld";

}  // namespace

void note(const std::string& text) {
  std::printf("   %s\n", text.c_str());
  std::fflush(stdout);
}

void heading(const std::string& text) {
  std::printf("\n== %s\n", text.c_str());
  std::fflush(stdout);
}

Session::Session(const std::string& host_path, std::vector<std::string> env) : host_(host_path, std::move(env)) {
  if (host_.started()) remember_child(host_.pid());
}

Session::~Session() {
  host_.close_input();
  host_.wait_exit();
  forget_child(host_.pid());
}

std::optional<Json> Session::call(const std::string& method, const Json& params) {
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

// Files and commands, briefly: the host is more than a screen.
void files_and_commands(Session& session, const std::string& out) {
  heading("files and commands");
  const std::string note_path = out + "/note.txt";
  session.call("write_all_text", {{"path", note_path}, {"content", std::string("written by the demo: ") + kTyped}});
  session.call("read_all_text", {{"path", note_path}});
  session.call("run_process",
               {{"fileName", "/bin/sh"}, {"arguments", "-c 'echo hello from the shell'"}, {"waitForExit", true}});
}

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
      const int left = milliseconds_until(deadline);
      if (left == 0 || child_.out < 0) return false;
      pollfd p{child_.out, POLLIN, 0};
      const int ready = ::poll(&p, 1, left);
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

DesktopDemo::DesktopDemo(Session& session, const Options& options, std::string out, bool own_screen,
                         std::vector<std::string> screen_env)
    : session_(session),
      options_(options),
      out_(std::move(out)),
      own_screen_(own_screen),
      screen_env_(std::move(screen_env)) {}

DesktopDemo::~DesktopDemo() = default;

void DesktopDemo::run() {
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
void DesktopDemo::stop_window() {
  if (window_) window_->stop();
}

// Our window, where there is X11: something to find, click and type into.
void DesktopDemo::start_window() {
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
void DesktopDemo::find() {
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

std::optional<Json> DesktopDemo::search() {
  return session_.call("search_desktop", {{"pattern", pattern_}, {"options", {{"minSimilarity", 0.9}}}});
}

void DesktopDemo::click_and_type() {
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
bool DesktopDemo::consent() {
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
void DesktopDemo::read_back() {
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
  annotated_written_ = write_annotated(*picture, origin, lines, match_, click_, annotated_path(), 96.0 * scale_);
}

void DesktopDemo::say_read_back(const std::string& recognised) {
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

}  // namespace pelagon2::demo
