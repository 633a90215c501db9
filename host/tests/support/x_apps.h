#pragma once
// Real applications on a private X server, for typing tests: a window
// manager of choice, and xterm in UTF-8 mode whose terminal copies the bytes
// of every key it reads, untouched, into a file. Each is started with the
// test's display and stopped by its pid.
//
// Include <gtest/gtest.h> before this header (Xlib's macros break gtest).

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/x_clients.h"
#include "support/x_observer.h"

namespace pelagon2::testing {

// A program run with `args` and environment changes, its output discarded.
class Program {
 public:
  Program(std::vector<std::string> args, const std::vector<std::string>& env) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_storage = environment_with(env);
    std::vector<char*> envp;
    for (std::string& e : env_storage) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Program() { stop(); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      stop_process(pid_);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
};

// The window managers the typing tests run under, by command name; none for "".
inline std::unique_ptr<Program> start_window_manager(const std::string& name, const std::string& display,
                                                     const std::string& home) {
  if (name.empty()) return nullptr;
  // A private home, so no configuration of the machine's user applies.
  const std::vector<std::string> env = {"DISPLAY=" + display, "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config"};
  std::vector<std::string> args = {name, "--sm-disable"};
  if (name == "metacity") args.insert(args.begin() + 1, "--replace");
  return std::make_unique<Program>(args, env);
}

// xterm in UTF-8 mode running a raw, echo-less `cat` into a file: the file
// holds exactly the bytes the terminal made of the keys it got.
class XtermCat {
 public:
  XtermCat(const std::string& display, const std::string& dir)
      : id_file_(dir + "/xterm.window"), out_file_(dir + "/xterm.out") {
    std::filesystem::remove(id_file_);
    std::filesystem::remove(out_file_);
    // The window id is written once the terminal is raw, so nothing typed
    // after it shows is cooked or echoed.
    const std::string script = "stty raw -echo && echo $WINDOWID > '" + id_file_ + ".new' && mv '" + id_file_ +
                               ".new' '" + id_file_ + "' && exec cat > '" + out_file_ + "'";
    program_ = std::make_unique<Program>(
        std::vector<std::string>{"xterm", "-u8", "-fa", "DejaVu Sans Mono", "-geometry", "80x24+0+0", "-e", "sh", "-c",
                                 script},
        std::vector<std::string>{"DISPLAY=" + display, "LANG=C.UTF-8", "LC_ALL=C.UTF-8"});
    wait_until(
        [&] {
          std::ifstream in(id_file_);
          in >> window_;
          return window_ != 0;
        },
        std::chrono::seconds(20));
  }

  bool ready() const { return program_->started() && window_ != 0; }
  unsigned long window() const { return window_; }

  // Gives the terminal the keyboard focus, as a click would; true once it has it.
  bool focus(Display* d) {
    // The window may go unviewable between the check and the request (a
    // window manager reparenting it); Xlib's default handler would exit.
    XSync(d, False);
    const XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    const bool has_focus = wait_until(
        [&] {
          Window focused = 0;
          int revert = 0;
          XGetInputFocus(d, &focused, &revert);
          if (focused == window_) return true;
          // A window manager maps the window in its frame a moment after
          // xterm asks; focus goes only to a viewable window.
          XWindowAttributes a{};
          if (XGetWindowAttributes(d, window_, &a) && a.map_state == IsViewable) {
            XSetInputFocus(d, window_, RevertToParent, CurrentTime);
          }
          XSync(d, False);
          return false;
        },
        std::chrono::seconds(10));
    XSetErrorHandler(previous);
    return has_focus;
  }

  // The whole file so far.
  std::string output() const {
    std::ifstream in(out_file_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string id_file_;
  std::string out_file_;
  std::unique_ptr<Program> program_;
  unsigned long window_ = 0;
};

}  // namespace pelagon2::testing
