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

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tools/demo/demo_children.h"
#include "tools/demo/demo_logic.h"
#include "tools/demo/demo_screen.h"
#include "tools/demo/demo_session.h"

namespace {

using Clock = std::chrono::steady_clock;
using pelagon2::Json;
using pelagon2::demo::Child;
using pelagon2::demo::choose_screen;
using pelagon2::demo::DemoScreen;
using pelagon2::demo::DesktopDemo;
using pelagon2::demo::end_children_on_signals;
using pelagon2::demo::files_and_commands;
using pelagon2::demo::format_duration;
using pelagon2::demo::heading;
using pelagon2::demo::note;
using pelagon2::demo::Options;
using pelagon2::demo::Session;
using pelagon2::demo::stop_child;

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

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

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

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> parsed = parse_options(argc, argv);
  if (!parsed) return usage();
  const Options& options = *parsed;
  end_children_on_signals();
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
  DemoScreen screen = choose_screen(options.host, options.private_screen, !options.window.empty());
  const bool own_screen = screen.own;
  const std::string& private_display = screen.private_display;
  Child& xvfb = screen.xvfb;
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
  std::printf("the whole session took %s\n", format_duration(total).c_str());
  if (options.check && !(clicked && typed && annotated)) {
    std::printf("check failed: click %s, text %s, annotated capture %s\n", clicked ? "seen" : "not seen",
                typed ? "seen" : "not seen", annotated ? "written" : "missing");
    return 1;
  }
  return 0;
}
