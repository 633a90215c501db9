#pragma once
// A real Firefox as the client of the host, for end-to-end tests: a temporary
// profile whose prefs keep it quiet (no first-run pages, updates, telemetry or
// remote settings, and a proxy on a closed loopback port for anything else), a
// temporary HOME where tools/install-host registers the host for Firefox, and
// Marionette on a loopback port it picks itself. Marionette installs the test
// extension as a temporary add-on (no signing) and opens the extension's own
// page, where the worker's functions run with the extension's rights; the test
// calls them there. The browser runs in a process group of its own.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/json.h"
#include "browser/browser_process.h"
#include "support/host_process.h"
#include "support/temp_tree.h"

extern char** environ;

namespace pelagon2::testing {

// The test extension's Firefox id, which install-host allows.
inline constexpr std::string_view kFirefoxExtensionId = "browser-test@pelagon2.io";
// Fixed by a pref, so the extension's page has a known address.
inline constexpr std::string_view kFirefoxExtensionUuid = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
inline constexpr std::string_view kFirefoxHostName = "io.pelagon2.browser_test";

inline std::string firefox_executable() {
  const char* other = std::getenv("PELAGON2_TEST_FIREFOX");
  return other != nullptr && *other != '\0' ? other : PELAGON2_FIREFOX_PATH;
}

inline bool firefox_available() { return ::access(firefox_executable().c_str(), X_OK) == 0; }

class FirefoxSession {
 public:
  // `display` empty: headless; else the X display the window opens on.
  explicit FirefoxSession(std::string display = {}) : display_(std::move(display)) {}
  ~FirefoxSession() { stop(); }
  FirefoxSession(const FirefoxSession&) = delete;
  FirefoxSession& operator=(const FirefoxSession&) = delete;

  const std::string& error() const { return error_; }
  const TempTree& folder() const { return folder_; }
  pid_t pid() const { return pid_; }
  long long startup_ms() const { return startup_ms_; }

  bool start() {
    const auto began = std::chrono::steady_clock::now();
    if (!write_profile() || !write_extension() || !run_installer() || !launch() || !connect_marionette()) return false;
    if (!command("WebDriver:NewSession", {{"capabilities", {{"timeouts", {{"script", 120000}}}}}})) return false;
    if (!command("Addon:Install", {{"path", folder_ / "extension"}, {"temporary", true}})) return false;
    if (!open_extension_page()) return false;
    startup_ms_ =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
    return true;
  }

  // Calls a function of the extension's page with JSON arguments and waits
  // for its promise; the value, or nullopt (with error()).
  std::optional<Json> call(std::string_view function, const Json& arguments) {
    const std::string script = "const done = arguments[arguments.length - 1];\n"
                               "Promise.resolve().then(() => " + std::string(function) + "(...arguments[0])).then(done,\n"
                               "  (e) => done({pageError: String((e && e.message) || e)}));";
    std::optional<Json> value = command("WebDriver:ExecuteAsyncScript", {{"script", script}, {"args", {arguments}}});
    if (!value) return std::nullopt;
    if (value->is_object() && value->contains("pageError")) return fail_none("page: " + (*value)["pageError"].dump());
    return value;
  }

  // Runs `script` (a function body; `arguments` as given) in the page, or in
  // the browser's chrome when `chrome` is set.
  std::optional<Json> execute(const std::string& script, const Json& arguments = Json::array(), bool chrome = false) {
    if (chrome && !command("Marionette:SetContext", {{"value", "chrome"}})) return std::nullopt;
    std::optional<Json> value = command("WebDriver:ExecuteScript", {{"script", script}, {"args", arguments}});
    if (chrome && !command("Marionette:SetContext", {{"value", "content"}})) return std::nullopt;
    return value;
  }

  // One Marionette command: its result's "value" (or the whole result).
  std::optional<Json> command(std::string_view name, const Json& params, int timeout_ms = 150000) {
    const int id = ++last_id_;
    const std::string body = Json::array({0, id, name, params}).dump();
    if (!write_all(std::to_string(body.size()) + ":" + body)) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      std::optional<Json> message = read_message(deadline);
      if (!message) return fail_none(std::string(name) + ": " + error_);
      if (!message->is_array() || message->size() != 4 || (*message)[1] != id) continue;
      if (!(*message)[2].is_null()) {
        Json fault = (*message)[2];
        if (fault.is_object()) fault.erase("stacktrace");
        return fail_none(std::string(name) + ": " + fault.dump());
      }
      const Json& result = (*message)[3];
      return result.is_object() && result.contains("value") ? result["value"] : result;
    }
  }

  // Quits the browser, politely first, and ends everything left in its
  // process group. Safe to call twice.
  void stop() {
    if (pid_ <= 0) return;
    if (socket_ >= 0) {
      // The reply may not come before the connection drops.
      command("Marionette:Quit", {{"flags", {"eAttemptQuit"}}}, 10000);
    }
    end_process_group(pid_, std::chrono::seconds(15));
    pid_ = -1;
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
  }

  // Processes still running with this session's home, which the browser and
  // every host it started have: "pid name" lines, empty when all are gone.
  std::string processes_left() const { return processes_with_home(folder_ / "home"); }

  std::string stop_and_list_leftovers(std::chrono::milliseconds grace = std::chrono::seconds(10)) {
    stop();
    return leftovers_after(folder_ / "home", grace);
  }

  std::string log_tail(std::size_t max = 4000) const {
    return log_file_tail(folder_ / "browser.log", max);
  }

  std::string profile() const { return folder_ / "profile"; }
  std::string home() const { return folder_ / "home"; }

 private:
  bool write_profile() {
    std::error_code ec;
    std::filesystem::create_directories(profile(), ec);
    std::filesystem::create_directories(home(), ec);
    if (ec) return fail("cannot create the profile: " + ec.message());
    const Json prefs = {
        // Marionette picks a free port and writes it to MarionetteActivePort.
        {"marionette.port", 0},
        {"extensions.webextensions.uuids", Json({{kFirefoxExtensionId, kFirefoxExtensionUuid}}).dump()},
        {"browser.shell.checkDefaultBrowser", false},
        {"browser.startup.homepage_override.mstone", "ignore"},
        {"browser.startup.page", 0},
        {"browser.aboutwelcome.enabled", false},
        {"startup.homepage_welcome_url", "about:blank"},
        {"datareporting.policy.dataSubmissionEnabled", false},
        {"datareporting.healthreport.uploadEnabled", false},
        {"toolkit.telemetry.reportingpolicy.firstRun", false},
        {"toolkit.telemetry.enabled", false},
        {"app.update.disabledForTesting", true},
        {"app.normandy.enabled", false},
        {"app.shield.optoutstudies.enabled", false},
        {"extensions.update.enabled", false},
        {"extensions.getAddons.cache.enabled", false},
        {"extensions.blocklist.enabled", false},
        {"services.settings.server", "data:,#remote-settings-dummy/v1"},
        {"browser.safebrowsing.malware.enabled", false},
        {"browser.safebrowsing.phishing.enabled", false},
        {"browser.safebrowsing.downloads.enabled", false},
        {"browser.newtabpage.enabled", false},
        {"browser.region.network.url", ""},
        {"browser.search.update", false},
        {"network.captive-portal-service.enabled", false},
        {"network.connectivity-service.enabled", false},
        {"network.dns.disablePrefetch", true},
        {"network.prefetch-next", false},
        {"network.http.speculative-parallel-limit", 0},
        {"network.trr.mode", 5},
        {"media.gmp-manager.url", ""},
        {"geo.provider.network.url", ""},
        {"dom.push.connection.enabled", false},
        {"identity.fxaccounts.enabled", false},
        {"toolkit.startup.max_resumed_crashes", -1},
        // Whatever still goes out meets a closed loopback port.
        {"network.proxy.type", 1},
        {"network.proxy.http", "127.0.0.1"},
        {"network.proxy.http_port", 9},
        {"network.proxy.ssl", "127.0.0.1"},
        {"network.proxy.ssl_port", 9},
        {"network.proxy.share_proxy_settings", true},
    };
    std::string text;
    for (const auto& [name, value] : prefs.items()) text += "user_pref(\"" + name + "\", " + value.dump() + ");\n";
    folder_.put("profile/user.js", text);
    return true;
  }

  // The shared extension's files beside a Firefox manifest made from its
  // own (an event page's script in place of the service worker, the id),
  // and a page that loads the same script.
  bool write_extension() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string dir = folder_ / "extension";
    const Json shared = Json::parse(read_file(PELAGON2_TEST_EXTENSION_DIR "/manifest.json"), nullptr, false);
    if (!shared.is_object() || !shared["background"].contains("service_worker"))
      return fail("the test extension's manifest names no worker");
    const std::string script = shared["background"]["service_worker"];
    const std::string type = shared["background"].value("type", "classic");
    fs::create_directories(dir, ec);
    for (const auto& entry : fs::directory_iterator(PELAGON2_TEST_EXTENSION_DIR, ec)) {
      if (entry.path().filename() == "manifest.json" || !entry.is_regular_file()) continue;
      fs::copy_file(entry.path(), dir + "/" + entry.path().filename().string(), ec);
      if (ec) return fail("cannot copy " + entry.path().string() + ": " + ec.message());
    }
    if (ec) return fail("cannot list the extension: " + ec.message());
    Json background = {{"scripts", {script}}};
    if (type == "module") background["type"] = "module";
    const Json manifest = {
        {"manifest_version", 3},
        {"name", shared.value("name", "pelagon2 browser test")},
        {"version", shared.value("version", "1.0")},
        {"browser_specific_settings", {{"gecko", {{"id", kFirefoxExtensionId}}}}},
        {"permissions", shared["permissions"]},
        {"background", background},
    };
    folder_.put("extension/manifest.json", manifest.dump(2));
    folder_.put("extension/page.html", "<!doctype html>\n<meta charset=\"utf-8\">\n<script" +
                                           std::string(type == "module" ? " type=\"module\"" : "") + " src=\"" +
                                           script + "\"></script>\n");
    return true;
  }

  bool run_installer() {
    std::vector<std::string> args = {PELAGON2_INSTALL_HOST_SCRIPT, "--browser",        "firefox",
                                     "--name",                     std::string(kFirefoxHostName),
                                     "--host",                     host_under_test(),
                                     "--extension-id",             std::string(kFirefoxExtensionId)};
    const std::string log = folder_ / "installer.log";
    const pid_t pid = spawn(args, log, false);
    if (pid < 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return fail("the installer failed: " + read_file(log));
    return true;
  }

  std::vector<std::string> environment() const {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry(*e);
      bool replaced = false;
      for (const char* name : {"DISPLAY=", "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=", "HOME=", "XDG_CONFIG_HOME=",
                               "XDG_CACHE_HOME=", "XDG_DATA_HOME=", "DBUS_SESSION_BUS_ADDRESS="})
        replaced = replaced || entry.starts_with(name);
      if (!replaced) env.emplace_back(entry);
    }
    env.push_back("HOME=" + home());
    env.push_back("XDG_CONFIG_HOME=" + home() + "/.config");
    env.push_back("XDG_CACHE_HOME=" + home() + "/.cache");
    env.push_back("XDG_DATA_HOME=" + home() + "/.local/share");
    env.push_back("MOZ_CRASHREPORTER_DISABLE=1");
    // No session bus: Firefox must not reach the test runner's desktop.
    env.push_back("DBUS_SESSION_BUS_ADDRESS=disabled:");
    if (!display_.empty()) env.push_back("DISPLAY=" + display_);
    return env;
  }

  bool launch() {
    std::vector<std::string> args = {firefox_executable(), "--marionette", "-remote-allow-system-access",
                                     "--no-remote", "--profile", profile()};
    if (display_.empty()) args.push_back("--headless");
    args.push_back("about:blank");
    pid_ = spawn(args, folder_ / "browser.log", true);
    return pid_ > 0;
  }

  pid_t spawn(std::vector<std::string> args, const std::string& log, bool own_group) {
    std::string error;
    const pid_t pid = spawn_logged(std::move(args), environment(), log, {}, own_group, error);
    if (pid < 0) fail(error);
    return pid;
  }

  // Waits for the port file, connects and reads Marionette's greeting.
  bool connect_marionette() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const std::string port_file = profile() + "/MarionetteActivePort";
    int port = 0;
    while (true) {
      port = std::atoi(read_file(port_file).c_str());
      if (port > 0 && port < 65536) {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
        ::close(socket_);
        socket_ = -1;
      }
      siginfo_t info{};
      if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_)
        return fail("the browser exited before Marionette listened");
      if (std::chrono::steady_clock::now() > deadline) return fail("Marionette never listened");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::optional<Json> greeting = read_message(deadline);
    if (!greeting || !greeting->is_object() || greeting->value("marionetteProtocol", 0) < 3)
      return fail("no Marionette greeting: " + error_);
    return true;
  }

  // An extension page is no place content scripts may navigate to; the
  // browser's chrome opens it in the current tab.
  bool open_extension_page() {
    const std::string url = "moz-extension://" + std::string(kFirefoxExtensionUuid) + "/page.html";
    if (!execute("openTrustedLinkIn(arguments[0], 'current');", Json::array({url}), true)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (true) {
      std::optional<Json> state =
          execute("return location.href + ' ' + document.readyState + ' ' + typeof window.callHost;");
      if (state && *state == url + " complete function") return true;
      if (std::chrono::steady_clock::now() > deadline)
        return fail("the extension's page never loaded: " + (state ? state->dump() : error_));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  // The next "length:JSON" message, or nullopt at the deadline or when the
  // browser closed the connection.
  std::optional<Json> read_message(std::chrono::steady_clock::time_point deadline) {
    while (true) {
      const std::size_t colon = pending_.find(':');
      if (colon != std::string::npos) {
        const std::size_t length = std::strtoull(pending_.c_str(), nullptr, 10);
        if (colon == 0 || colon > 12 || pending_.find_first_not_of("0123456789") != colon)
          return fail_none("a malformed Marionette frame");
        if (pending_.size() >= colon + 1 + length) {
          Json message = Json::parse(pending_.substr(colon + 1, length), nullptr, false);
          pending_.erase(0, colon + 1 + length);
          if (message.is_discarded()) return fail_none("a Marionette message that is not JSON");
          return message;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return fail_none("timed out");
      pollfd p{socket_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
      if (ready < 0 && errno != EINTR) return fail_none(std::strerror(errno));
      if (ready <= 0) continue;
      char buf[65536];
      const ssize_t n = ::recv(socket_, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return fail_none("the browser closed Marionette's connection");
      pending_.append(buf, static_cast<std::size_t>(n));
    }
  }

  bool write_all(std::string_view bytes) {
    if (socket_ < 0) return fail("not connected to Marionette");
    while (!bytes.empty()) {
      const ssize_t n = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return fail("cannot write to Marionette: " + std::string(std::strerror(errno)));
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  std::nullopt_t fail_none(std::string message) {
    error_ = std::move(message);
    return std::nullopt;
  }

  std::string display_;
  TempTree folder_;
  pid_t pid_ = -1;
  int socket_ = -1;
  int last_id_ = 0;
  std::string pending_;
  std::string error_;
  long long startup_ms_ = 0;
};

}  // namespace pelagon2::testing
