#pragma once
// A private GNOME session for tests: its own runtime folder (0700), HOME and
// XDG folders, a private D-Bus session bus, PipeWire + WirePlumber, and
// headless mutter (or gnome-shell) with one virtual monitor. Nothing of the
// desktop the tests run in is reached; every process is started in a process
// group of its own and stopped by it.
//
//   GnomeSession session;                 // mutter
//   GnomeSession session({.shell = true, .portal = true});
//   if (!session.ready()) GTEST_SKIP() << session.why();
//   HostProcess host(session.env());

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "support/temp_tree.h"
#include "support/x_clients.h"

extern char** environ;

namespace pelagon2::testing {

// Whether `program` is found on PATH.
inline bool have_program(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string dir = rest.substr(0, colon);
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (colon == std::string::npos) break;
    rest.erase(0, colon + 1);
  }
  return false;
}

// This process's environment without the desktop session's variables, with
// `changes` ("NAME=value") applied: a child sees only the session we give it.
inline std::vector<std::string> private_environment(const std::vector<std::string>& changes) {
  static const char* const kDropped[] = {"DISPLAY",        "WAYLAND_DISPLAY", "WAYLAND_SOCKET",   "DBUS_SESSION_BUS_ADDRESS",
                                         "DBUS_SYSTEM_BUS_ADDRESS", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP",
                                         "XDG_RUNTIME_DIR", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "SWAYSOCK",
                                         "XAUTHORITY",     "GNOME_SETUP_DISPLAY"};
  std::vector<std::string> base;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool dropped = false;
    for (const char* d : kDropped) dropped = dropped || name == d;
    for (const std::string& c : changes) dropped = dropped || c.substr(0, c.find('=')) == name;
    if (!dropped) base.push_back(entry);
  }
  base.insert(base.end(), changes.begin(), changes.end());
  return base;
}

// A process in a process group of its own (so the trees it starts are stopped
// with it), output appended to `log` (or discarded), stdout optionally to a pipe.
class GroupProcess {
 public:
  GroupProcess(std::vector<std::string> args, const std::vector<std::string>& env, const std::string& log = {},
               bool pipe_stdout = false) {
    int out[2] = {-1, -1};
    if (pipe_stdout && pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_storage = env;
    std::vector<char*> envp;
    for (std::string& e : env_storage) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const char* sink = log.empty() ? "/dev/null" : log.c_str();
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (pipe_stdout)
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    else
      posix_spawn_file_actions_addopen(&actions, 1, sink, O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, sink, O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    if (posix_spawnp(&pid_, argv[0], &actions, &attr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_stdout) {
      close(out[1]);
      if (pid_ > 0)
        stdout_ = out[0];
      else
        close(out[0]);
    }
  }
  ~GroupProcess() { stop(); }
  GroupProcess(const GroupProcess&) = delete;
  GroupProcess& operator=(const GroupProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      ::kill(-pid_, SIGKILL);  // what it left behind in its group
      pid_ = -1;
      return false;
    }
    return true;
  }
  // The first line it prints on stdout, within `timeout` (pipe_stdout only).
  std::optional<std::string> first_line(std::chrono::milliseconds timeout) {
    if (stdout_ < 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (line_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(stdout_, buffer, sizeof buffer);
      if (n <= 0) break;
      line_.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t end = line_.find('\n');
    if (end == std::string::npos) return std::nullopt;
    return line_.substr(0, end);
  }
  // Signals the whole group, waits for the leader, then kills what is left.
  void stop(int signal_number = SIGTERM) {
    if (stdout_ >= 0) close(stdout_), stdout_ = -1;
    if (pid_ <= 0) return;
    ::kill(-pid_, signal_number);
    stop_process(pid_);
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string line_;
};

// Runs a short command to its end (killed after `timeout`); its stdout, and
// whether it exited with status 0.
struct CommandResult {
  bool ok = false;
  std::string out;
};
inline CommandResult run_command(std::vector<std::string> args, const std::vector<std::string>& env,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  CommandResult result;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_storage = env;
  std::vector<char*> envp;
  for (std::string& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (pid <= 0) {
    close(out[0]);
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    result.out.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  int status = 0;
  pid_t r = 0;
  while (std::chrono::steady_clock::now() < deadline && (r = waitpid(pid, &status, WNOHANG)) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (r != pid) {
    ::kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return result;
  }
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

// Polls `condition` every 20 ms until it holds or `timeout` passes.
template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

struct GnomeSessionOptions {
  bool shell = false;   // gnome-shell --headless instead of mutter
  bool portal = false;  // XDG_CURRENT_DESKTOP=GNOME and the activation environment for the desktop portal
  std::string monitor = "1280x800";
  // Extra virtual monitors (mutter puts them side by side).
  std::vector<std::string> more_monitors{};
};

class GnomeSession {
 public:
  explicit GnomeSession(GnomeSessionOptions options = {}) : options_(std::move(options)) { start(); }
  ~GnomeSession() { stop(); }
  GnomeSession(const GnomeSession&) = delete;
  GnomeSession& operator=(const GnomeSession&) = delete;

  bool ready() const { return why_.empty(); }
  // Why the session is not ready: a missing program (a skip) or a failed start.
  const std::string& why() const { return why_; }
  bool missing_programs() const { return missing_; }

  const std::string& runtime_dir() const { return runtime_; }
  const std::string& home() const { return home_; }
  const std::string& wayland_display() const { return display_name_; }
  const std::string& bus_address() const { return bus_address_; }
  std::string log_path() const { return root_.path() + "/session.log"; }
  // What the session's programs printed (for failure messages).
  std::string log() const {
    std::ifstream in(log_path());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The variables clients and the host run with ("NAME=value"; DISPLAY empty).
  std::vector<std::string> env() const {
    std::vector<std::string> e = session_vars();
    e.push_back("DISPLAY=");
    return e;
  }
  // The whole environment of a child of this session (nothing inherited of the desktop; DISPLAY unset).
  std::vector<std::string> child_env(const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> e = session_vars();
    e.insert(e.end(), extra.begin(), extra.end());
    return private_environment(e);
  }

 private:
  std::vector<std::string> session_vars() const {
    std::vector<std::string> e = {"WAYLAND_DISPLAY=" + display_name_,
                                  "XDG_RUNTIME_DIR=" + runtime_,
                                  "DBUS_SESSION_BUS_ADDRESS=" + bus_address_,
                                  "XDG_SESSION_TYPE=wayland",
                                  "HOME=" + home_,
                                  "XDG_CONFIG_HOME=" + home_ + "/.config",
                                  "XDG_DATA_HOME=" + home_ + "/.local/share",
                                  "XDG_STATE_HOME=" + home_ + "/.local/state",
                                  "XDG_CACHE_HOME=" + home_ + "/.cache",
                                  "PIPEWIRE_RUNTIME_DIR=" + runtime_};
    if (options_.portal) e.push_back("XDG_CURRENT_DESKTOP=GNOME");
    if (!system_bus_address_.empty()) e.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + system_bus_address_);
    return e;
  }

 public:
  pid_t compositor_pid() const { return compositor_ ? compositor_->pid() : -1; }
  pid_t pipewire_pid() const { return pipewire_ ? pipewire_->pid() : -1; }

  // Faults: the compositor or PipeWire (with WirePlumber) killed, and started again.
  void kill_compositor() {
    if (compositor_) compositor_->stop(SIGKILL);
    compositor_.reset();
  }
  bool restart_compositor() {
    kill_compositor();
    return start_compositor();
  }
  void kill_pipewire() {
    if (wireplumber_) wireplumber_->stop(SIGKILL);
    if (pipewire_) pipewire_->stop(SIGKILL);
    wireplumber_.reset();
    pipewire_.reset();
  }
  bool restart_pipewire() {
    kill_pipewire();
    return start_pipewire();
  }

  // A D-Bus call through gdbus on the session bus; its output.
  CommandResult gdbus(std::vector<std::string> args, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    args.insert(args.begin(), {"gdbus", "call", "--session", "--timeout", "5"});
    return run_command(std::move(args), child_env(), timeout);
  }
  bool name_owned(const std::string& name) const {
    const CommandResult r = gdbus({"--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
                                   "--method", "org.freedesktop.DBus.NameHasOwner", name},
                                  std::chrono::seconds(6));
    return r.ok && r.out.find("true") != std::string::npos;
  }

  void stop() {
    compositor_.reset();
    wireplumber_.reset();
    pipewire_.reset();
    bus_.reset();
    system_bus_.reset();
  }

 private:
  void fail(const std::string& why) {
    if (why_.empty()) why_ = why;
  }

  void start() {
    const char* programs[] = {"dbus-daemon", "pipewire", "wireplumber", "pw-cli", "gdbus",
                              options_.shell ? "gnome-shell" : "mutter"};
    for (const char* p : programs) {
      if (!have_program(p)) {
        missing_ = true;
        fail(std::string(p) + " is not installed");
        return;
      }
    }
    if (root_.path().empty()) return fail("no temporary folder");
    runtime_ = root_.path() + "/run";
    home_ = root_.path() + "/home";
    for (const std::string& d : {runtime_, home_, home_ + "/.config", home_ + "/.local/share", home_ + "/.local/state",
                                 home_ + "/.cache"}) {
      std::filesystem::create_directories(d);
      ::chmod(d.c_str(), 0700);
    }
    display_name_ = "pelagon2-wl-" + std::to_string(::getpid());
    bus_ = start_bus(bus_address_);
    if (!bus_) return fail("the private session bus did not start");
    if (options_.shell) {
      system_bus_ = start_bus(system_bus_address_);
      if (!system_bus_) return fail("the private system bus did not start");
    }
    if (!start_pipewire()) return;
    if (options_.portal) {
      run_command({"dbus-update-activation-environment", "WAYLAND_DISPLAY=" + display_name_, "XDG_CURRENT_DESKTOP=GNOME",
                   "XDG_RUNTIME_DIR=" + runtime_, "XDG_SESSION_TYPE=wayland", "HOME=" + home_},
                  child_env());
    }
    start_compositor();
  }

  std::unique_ptr<GroupProcess> start_bus(std::string& address) {
    auto bus = std::make_unique<GroupProcess>(
        std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"},
        private_environment({"HOME=" + home_, "XDG_RUNTIME_DIR=" + runtime_}), log_path(), true);
    if (bus->pid() <= 0) return nullptr;
    const std::optional<std::string> line = bus->first_line(std::chrono::seconds(20));
    if (!line || line->empty()) return nullptr;
    address = *line;
    return bus;
  }

  bool wireplumber_connected() const {
    const CommandResult r = run_command({"pw-cli", "ls", "Client"}, child_env(), std::chrono::seconds(5));
    return r.ok && r.out.find("WirePlumber") != std::string::npos;
  }

  bool start_pipewire() {
    pipewire_ = std::make_unique<GroupProcess>(std::vector<std::string>{"pipewire"}, child_env(), log_path());
    if (!wait_until([&] { return ::access((runtime_ + "/pipewire-0").c_str(), F_OK) == 0 || !pipewire_->running(); }) ||
        !pipewire_->running()) {
      fail("pipewire did not start");
      return false;
    }
    // WirePlumber started too early sometimes fails to connect and exits; the
    // streams then never leave "paused". Start it again until it is connected.
    for (int attempt = 0; attempt < 4; ++attempt) {
      wireplumber_ = std::make_unique<GroupProcess>(std::vector<std::string>{"wireplumber"}, child_env(), log_path());
      if (wait_until([&] { return wireplumber_connected() || !wireplumber_->running(); }, std::chrono::seconds(15)) &&
          wireplumber_->running())
        return true;
      wireplumber_.reset();
    }
    fail("wireplumber did not connect to pipewire");
    return false;
  }

  bool start_compositor() {
    std::vector<std::string> args = {options_.shell ? "gnome-shell" : "mutter",
                                     "--headless",
                                     "--wayland",
                                     "--no-x11",
                                     "--wayland-display",
                                     display_name_,
                                     "--virtual-monitor",
                                     options_.monitor};
    for (const std::string& m : options_.more_monitors) args.insert(args.end(), {"--virtual-monitor", m});
    // Windows shown without mutter's map animation: a window that is still
    // growing into place puts a click off its pixel, which tests of where
    // input lands would take for the host's fault.
    const std::string settings = home_ + "/.config/glib-2.0/settings";
    std::filesystem::create_directories(settings);
    std::ofstream(settings + "/keyfile") << "[org/gnome/desktop/interface]\nenable-animations=false\n";
    std::vector<std::string> extra = {"GSETTINGS_BACKEND=keyfile", "NO_AT_BRIDGE=1"};
    if (options_.shell) {
      // The user session without the overview. gnome-shell opens the overview
      // at start-up, and hiding it while that animation still runs leaves it
      // stuck half-way for good (seen on a loaded machine); without it the
      // dialogs and windows show on the desktop at once.
      const std::string modes = root_.path() + "/share/gnome-shell/modes";
      std::filesystem::create_directories(modes);
      std::ofstream(modes + "/pelagon2-test.json") << R"({"parentMode": "user", "hasOverview": false})" << '\n';
      args.push_back("--mode=pelagon2-test");
      extra.push_back("XDG_DATA_DIRS=" + root_.path() + "/share:/usr/local/share:/usr/share");
    }
    compositor_ = std::make_unique<GroupProcess>(args, child_env(extra), log_path());
    if (!wait_until([&] { return !compositor_->running() || name_owned("org.gnome.Mutter.RemoteDesktop"); },
                    std::chrono::seconds(40)) ||
        !compositor_->running()) {
      fail(std::string(args[0]) + " did not start (log: " + log_path() + ")");
      return false;
    }
    if (!wait_until([&] { return ::access((runtime_ + "/" + display_name_).c_str(), F_OK) == 0; })) {
      fail("no Wayland socket");
      return false;
    }
    if (options_.shell) {
      const CommandResult get = gdbus({"--dest", "org.gnome.Shell", "--object-path", "/org/gnome/Shell", "--method",
                                       "org.freedesktop.DBus.Properties.Get", "org.gnome.Shell", "OverviewActive"});
      if (!get.ok || get.out.find("false") == std::string::npos) {
        fail("gnome-shell shows its overview (" + get.out + "); log:\n" + log());
        return false;
      }
    }
    return true;
  }

  GnomeSessionOptions options_;
  TempTree root_;
  std::string runtime_, home_, display_name_, bus_address_, system_bus_address_;
  std::string why_;
  bool missing_ = false;
  std::unique_ptr<GroupProcess> bus_, system_bus_, pipewire_, wireplumber_, compositor_;
};

#ifdef PELAGON2_WAYLAND_APPS_DIR
// The GTK client (apps/gtk_events.py) on a GNOME session: its events as JSON lines.
// The system Python: its GObject bindings are a Debian package.
class GtkEvents {
 public:
  GtkEvents(const GnomeSession& session, const std::string& events_file)
      : file_(events_file),
        process_({"/usr/bin/python3", std::string(PELAGON2_WAYLAND_APPS_DIR) + "/gtk_events.py", events_file},
                 session.child_env({"GDK_BACKEND=wayland", "NO_AT_BRIDGE=1", "GSETTINGS_BACKEND=memory"}),
                 session.log_path()) {}

  // Waits for the window's "ready" line.
  bool wait_ready(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return wait_until([&] { return contains("\"event\": \"ready\""); }, timeout);
  }
  std::string text() const {
    std::ifstream in(file_);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool contains(const std::string& piece) const { return text().find(piece) != std::string::npos; }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::ifstream in(file_);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
  }
  // Its events of one kind ("button_press", ...), parsed.
  std::vector<Json> events(const std::string& kind) const {
    std::vector<Json> out;
    for (const std::string& line : lines()) {
      Json j = Json::parse(line, nullptr, false);
      if (j.is_object() && j.value("event", "") == kind) out.push_back(std::move(j));
    }
    return out;
  }
  pid_t pid() const { return process_.pid(); }

 private:
  std::string file_;
  GroupProcess process_;
};
#endif

}  // namespace pelagon2::testing
