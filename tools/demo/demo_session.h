#pragma once
// The demo's session with the host: each request printed with its
// parameters and each reply as one line with its time, and the steps the
// demo drives on the screen (find, click, type, read back, annotate).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "tools/client/host_client.h"
#include "tools/demo/demo_logic.h"
#include "vision_core/image.h"

namespace pelagon2::demo {

struct Options {
  std::string host;
  std::string window;
  std::string out = "demo-output";
  std::string window_log;
  bool private_screen = false;
  bool assume_yes = false;
  bool check = false;
};

// One line under the current step, and the heading of a step.
void note(const std::string& text);
void heading(const std::string& text);

// The host and the printing of requests and replies.
class Session {
 public:
  Session(const std::string& host_path, std::vector<std::string> env);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool started() const { return host_.started(); }
  const std::string& last_error() const { return host_.last_error(); }

  // The reply's result, or nullopt on an error reply or no reply at all.
  std::optional<Json> call(const std::string& method, const Json& params);

 private:
  pelagon2::HostClient host_;
  long long id_ = 0;
};

// Files and commands, briefly: the host is more than a screen.
void files_and_commands(Session& session, const std::string& out);

class WindowLink;

// The screen part of the session, step by step, with what each step found.
class DesktopDemo {
 public:
  DesktopDemo(Session& session, const Options& options, std::string out, bool own_screen,
              std::vector<std::string> screen_env);
  ~DesktopDemo();
  DesktopDemo(const DesktopDemo&) = delete;
  DesktopDemo& operator=(const DesktopDemo&) = delete;

  bool window_got_click() const { return window_got_click_; }
  bool window_got_text() const { return window_got_text_; }
  bool annotated_written() const { return annotated_written_; }
  std::string annotated_path() const { return out_ + "/demo-annotated.png"; }

  // Finds, clicks, types and reads back, printing what each step found.
  void run();
  // Closing its input tells the window to go.
  void stop_window();

 private:
  // Our window, where there is X11: something to find, click and type into.
  void start_window();
  // The first capture, the pattern and the search for it.
  void find();
  std::optional<Json> search();
  void click_and_type();
  // Asks on the user's own screen; our private screen needs nobody's leave.
  bool consent();
  // The second capture, the search again, recognition and the picture.
  void read_back();
  static void say_read_back(const std::string& recognised);

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

}  // namespace pelagon2::demo
