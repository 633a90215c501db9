#pragma once
// sway, headless, for tests: a private runtime folder (mode 0700) and home
// owned by an unused uid (sway refuses to run as root), the pixman renderer,
// no input devices and no XWayland. Outputs are configurable (mode, scale, a
// second one to the right). Stopped, and started again on the same socket
// name, by its pid.

#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_tree.h"
#include "support/x_clients.h"

namespace pelagon2::testing {

struct SwayOutput {
  int width = 1280;
  int height = 800;
  double scale = 1;
};

class SwaySession {
 public:
  static constexpr uid_t kUid = 4242;

  // Whether sway and setpriv are installed (tests skip without them).
  static bool available() { return on_path("sway") && on_path("setpriv"); }

  explicit SwaySession(std::vector<SwayOutput> outputs = {SwayOutput{}}) : outputs_(std::move(outputs)) {
    runtime_ = dir_.path() + "/run";
    home_ = dir_.path() + "/home";
    for (const std::string& d : {runtime_, home_, home_ + "/.config", home_ + "/.cache", home_ + "/.local"}) {
      ::mkdir(d.c_str(), 0700);
      if (::chown(d.c_str(), kUid, kUid) != 0) return;
    }
    ::chmod(dir_.path().c_str(), 0755);
    config_ = dir_.path() + "/sway.conf";
    std::ofstream conf(config_);
    conf << "xwayland disable\ndefault_border none\nfocus_follows_mouse no\n";
    int x = 0;
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
      const SwayOutput& o = outputs_[i];
      conf << "output HEADLESS-" << i + 1 << " mode " << o.width << "x" << o.height << " position " << x << " 0 scale "
           << o.scale << "\n";
      x += static_cast<int>(o.width / o.scale);
    }
    conf.close();
    ::chmod(config_.c_str(), 0644);
    start();
  }
  ~SwaySession() { stop(); }
  SwaySession(const SwaySession&) = delete;
  SwaySession& operator=(const SwaySession&) = delete;

  // Starts sway (again) and waits up to 20 s for its Wayland and IPC sockets.
  bool start() {
    if (sway_ && sway_->started()) return ready();
    std::error_code ignored;
    if (!swaysock_.empty()) std::filesystem::remove(swaysock_, ignored);
    swaysock_.clear();
    display_.clear();
    const char* path = std::getenv("PATH");
    sway_ = std::make_unique<Program>(
        std::vector<std::string>{"env", "-i", std::string("PATH=") + (path ? path : "/usr/bin:/bin"), "HOME=" + home_,
                                 "XDG_RUNTIME_DIR=" + runtime_, "XDG_CONFIG_HOME=" + home_ + "/.config",
                                 "XDG_CACHE_HOME=" + home_ + "/.cache", "XDG_DATA_HOME=" + home_ + "/.local",
                                 "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
                                 "WLR_HEADLESS_OUTPUTS=" + std::to_string(outputs_.size()),
                                 "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_ + "/no-bus", "setpriv",
                                 "--reuid=" + std::to_string(kUid), "--regid=" + std::to_string(kUid), "--clear-groups",
                                 "sway", "-c", config_},
        std::vector<std::string>{});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (display_.empty()) display_ = find_display();
      swaysock_ = find("sway-ipc." + std::to_string(kUid) + "." + std::to_string(sway_->pid()) + ".sock");
      if (!display_.empty() && !swaysock_.empty()) return true;
      if (::kill(sway_->pid(), 0) != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // SIGKILL: the compositor goes away as a crash would leave it.
  void stop(int signal_number = SIGTERM) {
    if (sway_) sway_->stop(signal_number);
    sway_.reset();
  }

  bool ready() const { return sway_ && sway_->started() && !display_.empty() && !swaysock_.empty(); }
  pid_t pid() const { return sway_ ? sway_->pid() : -1; }
  const std::string& wayland_display() const { return display_; }
  const std::string& runtime_dir() const { return runtime_; }
  const std::string& swaysock() const { return swaysock_; }
  const std::string& home() const { return home_; }

  // What a client of this compositor (the host included) needs, and nothing
  // that leads to another display or bus.
  std::vector<std::string> client_env() const {
    return {"WAYLAND_DISPLAY=" + display_,
            "XDG_RUNTIME_DIR=" + runtime_,
            "SWAYSOCK=" + swaysock_,
            "DISPLAY=",
            "XDG_SESSION_TYPE=wayland",
            "HOME=" + home_,
            "XDG_CONFIG_HOME=" + home_ + "/.config",
            "XDG_CACHE_HOME=" + home_ + "/.cache",
            "XDG_DATA_HOME=" + home_ + "/.local",
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_ + "/no-bus",
            "NO_AT_BRIDGE=1",
            "GDK_BACKEND=wayland"};
  }

  // swaymsg against this compositor; its output. Empty when it failed.
  std::string swaymsg(const std::vector<std::string>& args) const {
    std::string out_path = dir_.path() + "/swaymsg.out";
    std::string command = "swaymsg -s '" + swaysock_ + "'";
    for (const std::string& a : args) command += " '" + a + "'";
    command += " > '" + out_path + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return {};
    std::ifstream in(out_path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  static bool on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "";
    std::size_t start = 0;
    while (start <= rest.size()) {
      const std::size_t end = rest.find(':', start);
      const std::string dir = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return false;
  }

  std::string find(const std::string& name) const {
    const std::string p = runtime_ + "/" + name;
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) ? p : std::string();
  }

  // The socket name sway chose (wayland-N).
  std::string find_display() const {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(runtime_, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos && !find(name).empty()) return name;
    }
    return {};
  }

  std::vector<SwayOutput> outputs_;
  TempTree dir_;
  std::string runtime_, home_, config_;
  std::string display_, swaysock_;
  std::unique_ptr<Program> sway_;
};

}  // namespace pelagon2::testing
