#pragma once
// A real Chromium as the client of the host, for end-to-end tests: a profile
// in a temporary folder that registers the host under test, the test extension
// loaded from this folder, and the browser's DevTools pipe (fds 3 and 4 of the
// browser, NUL-terminated JSON) to run the extension worker's functions.
// The browser runs in a process group of its own, which stop() ends.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/json.h"
#include "browser/browser_process.h"
#include "support/host_process.h"
#include "support/temp_tree.h"

extern char** environ;

namespace pelagon2::testing {

// Host name the test extension connects to (worker.js says the same).
inline constexpr std::string_view kBrowserTestHostName = "io.pelagon2.browser_test";
// Follows from the `key` in extension/manifest.json.
inline constexpr std::string_view kTestExtensionId = "nhnlomieaebaapmampgejimfhnkehbmc";

inline std::string chromium_executable() {
  const char* other = std::getenv("PELAGON2_TEST_CHROMIUM");
  return other != nullptr && *other != '\0' ? other : PELAGON2_CHROMIUM_PATH;
}

inline bool chromium_available() { return ::access(chromium_executable().c_str(), X_OK) == 0; }

struct BrowserOptions {
  // Both empty: headless. Otherwise the X display, or the Wayland display
  // (the socket's name in XDG_RUNTIME_DIR), the browser window opens on; a
  // Wayland browser gets no DISPLAY at all, so it cannot fall back to X11.
  std::string display;
  std::string wayland_display;
  // More environment ("NAME=value", replacing the test's own) for the browser
  // and so for every host it starts: a compositor's runtime folder and bus.
  std::vector<std::string> environment;
  // Extra members of the profile's Preferences file (written only when set).
  Json preferences;
  // More command-line switches.
  std::vector<std::string> arguments;
  // Registers the host with the project's installer, for the user, and lets
  // the browser use its default profile folder, instead of writing the
  // manifest into a profile named on the command line.
  bool use_installer = false;
};

class BrowserSession {
 public:
  explicit BrowserSession(BrowserOptions options = {}) : options_(std::move(options)) {}
  ~BrowserSession() { stop(); }
  BrowserSession(const BrowserSession&) = delete;
  BrowserSession& operator=(const BrowserSession&) = delete;

  const std::string& error() const { return error_; }
  const TempTree& folder() const { return folder_; }
  pid_t pid() const { return pid_; }

  // Writes the profile, starts the browser and attaches to the extension's
  // worker once its script has run. False (with error()) when any step fails.
  bool start() {
    const auto began = std::chrono::steady_clock::now();
    if (!write_profile() || !launch()) return false;
    if (!attach_to_worker()) return false;
    startup_ms_ =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
    return true;
  }

  long long startup_ms() const { return startup_ms_; }

  // Evaluates `expression` in the worker (or in the target of `in_session`)
  // and waits for its promise; the value, or nullopt (with error()) on an
  // exception or a timeout.
  std::optional<Json> evaluate(const std::string& expression, int timeout_ms = 60000,
                               const std::string& in_session = {}) {
    const Json params = {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}};
    std::optional<Json> reply =
        command("Runtime.evaluate", params, in_session.empty() ? session_ : in_session, timeout_ms);
    if (!reply) return std::nullopt;
    const Json& result = (*reply)["result"];
    if (result.contains("exceptionDetails")) {
      error_ = "exception: " + result["exceptionDetails"].dump();
      return std::nullopt;
    }
    return result["result"].value("value", Json());
  }

  // Calls a function of the worker with JSON arguments.
  std::optional<Json> call(std::string_view function, const Json& arguments, int timeout_ms = 60000) {
    std::string expression(function);
    expression += "(";
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      if (i > 0) expression += ", ";
      expression += arguments[i].dump();
    }
    expression += ")";
    return evaluate(expression, timeout_ms);
  }

  // Loads `url` into the browser's page and waits until it has loaded; the
  // page's DevTools session, or empty (with error()).
  std::string open_page(const std::string& url) {
    std::optional<Json> targets = command("Target.getTargets", Json::object());
    if (!targets) return {};
    std::string page;
    for (const Json& info : (*targets)["result"]["targetInfos"]) {
      if (info.value("type", "") == "page") page = info.value("targetId", "");
    }
    if (page.empty()) return fail("the browser has no page"), std::string();
    const std::string session = attach(page);
    if (session.empty() || !command("Page.navigate", {{"url", url}}, session)) return {};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (true) {
      std::optional<Json> state = evaluate("location.href + ' ' + document.readyState", 10000, session);
      if (!state) return {};
      if (*state == url + " complete") return session;
      if (std::chrono::steady_clock::now() > deadline) return fail("the page never loaded: " + state->dump()), std::string();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // Sends one DevTools command and waits for its reply (skipping events).
  std::optional<Json> command(std::string_view method, const Json& params, const std::string& session = {},
                              int timeout_ms = 30000) {
    const int id = ++last_id_;
    Json message = {{"id", id}, {"method", method}, {"params", params}};
    if (!session.empty()) message["sessionId"] = session;
    std::string text = message.dump();
    text.push_back('\0');
    if (!write_all(text)) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      std::optional<std::string> body = read_message(deadline);
      if (!body) {
        error_ = std::string(method) + ": " + error_;
        return std::nullopt;
      }
      Json reply = Json::parse(*body, nullptr, false);
      if (reply.is_discarded() || !reply.is_object() || reply.value("id", -1) != id) continue;
      if (reply.contains("error")) {
        error_ = std::string(method) + ": " + reply["error"].dump();
        return std::nullopt;
      }
      return reply;
    }
  }

  // Closes the browser, politely first, and ends everything left in its
  // process group. Safe to call twice.
  void stop() {
    if (pid_ <= 0) return;
    if (to_browser_ >= 0) {
      // Browser.close gets no reply when the browser goes down first.
      std::string text = Json({{"id", ++last_id_}, {"method", "Browser.close"}, {"params", Json::object()}}).dump();
      text.push_back('\0');
      write_all(text);
    }
    end_process_group(pid_, std::chrono::seconds(10));
    pid_ = -1;
    close_fd(to_browser_);
    close_fd(from_browser_);
  }

  // Processes still running with this session's home, which the browser and
  // every host it started have: "pid name" lines, empty when all are gone.
  std::string processes_left() const { return processes_with_home(folder_.path()); }

  // Stops the browser and waits until nothing it started is left.
  std::string stop_and_list_leftovers(std::chrono::milliseconds grace = std::chrono::seconds(5)) {
    stop();
    return leftovers_after(folder_.path(), grace);
  }

  // The end of the browser's own output, for failure messages.
  std::string log_tail(std::size_t max = 4000) const {
    return log_file_tail(folder_ / "browser.log", max);
  }

 private:
  // The browser's default profile folder lies under XDG_CONFIG_HOME.
  std::string profile() const {
    return options_.use_installer ? folder_ / "config/chromium" : folder_ / "profile";
  }

  // The session's environment for the browser and the installer: a home
  // inside the temporary folder, the test's own display or none, and the
  // options' entries.
  std::vector<std::string> environment() const {
    const auto replaced = [&](std::string_view entry) {
      for (const char* name : {"DISPLAY=", "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=", "HOME=", "XDG_CONFIG_HOME=",
                               "XDG_CACHE_HOME="})
        if (entry.starts_with(name)) return true;
      for (const std::string& own : options_.environment)
        if (entry.starts_with(own.substr(0, own.find('=') + 1))) return true;
      return false;
    };
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (!replaced(*e)) env.emplace_back(*e);
    }
    env.push_back("HOME=" + folder_.path());
    env.push_back("XDG_CONFIG_HOME=" + folder_.path() + "/config");
    env.push_back("XDG_CACHE_HOME=" + folder_.path() + "/cache");
    if (!options_.display.empty()) env.push_back("DISPLAY=" + options_.display);
    if (!options_.wayland_display.empty()) env.push_back("WAYLAND_DISPLAY=" + options_.wayland_display);
    env.insert(env.end(), options_.environment.begin(), options_.environment.end());
    return env;
  }

  bool run_installer() {
    std::vector<std::string> args = {PELAGON2_INSTALL_HOST_SCRIPT, "--browser", "chromium",
                                     "--name", std::string(kBrowserTestHostName),
                                     "--host", host_under_test(),
                                     "--extension-id", std::string(kTestExtensionId)};
    const std::string log = folder_ / "installer.log";
    const pid_t pid = spawn(args, log, {}, false);
    if (pid < 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return fail("the installer failed: " + read_file(log));
    return true;
  }

  bool write_profile() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(profile() + "/NativeMessagingHosts", ec);
    if (ec) return fail("cannot create the profile: " + ec.message());
    if (options_.use_installer) return run_installer() && write_preferences();
    const Json manifest = {
        {"name", kBrowserTestHostName},
        {"description", "pelagon2 under test"},
        {"path", host_under_test()},
        {"type", "stdio"},
        {"allowed_origins", {"chrome-extension://" + std::string(kTestExtensionId) + "/"}},
    };
    if (!write_text(profile() + "/NativeMessagingHosts/" + std::string(kBrowserTestHostName) + ".json",
                    manifest.dump(2)))
      return fail("cannot write the host manifest");
    return write_preferences();
  }

  bool write_preferences() {
    if (options_.preferences.is_null()) return true;
    std::error_code ec;
    std::filesystem::create_directories(profile() + "/Default", ec);
    if (ec || !write_text(profile() + "/Default/Preferences", options_.preferences.dump()))
      return fail("cannot write Preferences");
    return true;
  }

  bool launch() {
    int to_browser[2];
    int from_browser[2];
    if (::pipe2(to_browser, O_CLOEXEC) != 0) return fail(std::strerror(errno));
    if (::pipe2(from_browser, O_CLOEXEC) != 0) {
      ::close(to_browser[0]);
      ::close(to_browser[1]);
      return fail(std::strerror(errno));
    }
    // Moved above 4 first, so that the dup2 onto 3 and 4 cannot overwrite the
    // other end before it is copied.
    const int child_in = ::fcntl(to_browser[0], F_DUPFD_CLOEXEC, 10);
    const int child_out = ::fcntl(from_browser[1], F_DUPFD_CLOEXEC, 10);
    ::close(to_browser[0]);
    ::close(from_browser[1]);
    to_browser_ = to_browser[1];
    from_browser_ = from_browser[0];

    const std::string extension = PELAGON2_TEST_EXTENSION_DIR;
    std::vector<std::string> args = {
        chromium_executable(),
        "--remote-debugging-pipe",
        "--load-extension=" + extension,
        "--disable-extensions-except=" + extension,
        // Root cannot run the sandbox, and containers often lack the user
        // namespaces it needs otherwise; the browser loads no web content here.
        "--no-sandbox",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-gpu",
        "--disable-quic",
        "--password-store=basic",
        "--use-mock-keychain",
    };
    if (!options_.wayland_display.empty()) {
      args.push_back("--test-type");
      args.push_back("--ozone-platform=wayland");
    } else if (!options_.display.empty()) {
      args.push_back("--test-type");
      args.push_back("--ozone-platform=x11");
    } else {
      args.push_back("--headless=new");
    }
    if (!options_.use_installer) args.push_back("--user-data-dir=" + profile());
    args.insert(args.end(), options_.arguments.begin(), options_.arguments.end());
    args.push_back("about:blank");

    // The browser, and so every host it starts, gets the session's
    // environment, in a process group of its own.
    pid_ = spawn(args, folder_ / "browser.log", {{child_in, 3}, {child_out, 4}}, true);
    ::close(child_in);
    ::close(child_out);
    return pid_ > 0;
  }

  // Starts `args` with the session's environment, standard input from
  // /dev/null and both output streams into `log`; `handed` are (descriptor,
  // number in the child) pairs. The pid, or -1 (with error()).
  pid_t spawn(std::vector<std::string> args, const std::string& log, const std::vector<std::pair<int, int>>& handed,
              bool own_group) {
    std::string error;
    const pid_t pid = spawn_logged(std::move(args), environment(), log, handed, own_group, error);
    if (pid < 0) fail(error);
    return pid;
  }

  // A flat DevTools session on a target; empty (with error()) when refused.
  std::string attach(const std::string& target) {
    std::optional<Json> attached = command("Target.attachToTarget", {{"targetId", target}, {"flatten", true}});
    if (!attached) return {};
    std::string session = (*attached)["result"].value("sessionId", "");
    if (session.empty()) fail("no DevTools session for " + target);
    return session;
  }

  bool attach_to_worker() {
    const std::string prefix = "chrome-extension://" + std::string(kTestExtensionId) + "/";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string target;
    std::string seen;
    while (target.empty()) {
      std::optional<Json> reply = command("Target.getTargets", Json::object());
      if (!reply) return false;
      seen.clear();
      for (const Json& info : (*reply)["result"]["targetInfos"]) {
        const std::string url = info.value("url", "");
        seen += info.value("type", "") + " " + url + "\n";
        if (info.value("type", "") == "service_worker" && url.starts_with(prefix)) {
          target = info.value("targetId", "");
        }
      }
      if (target.empty()) {
        if (std::chrono::steady_clock::now() > deadline)
          return fail("the extension's worker never appeared; targets:\n" + seen);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    session_ = attach(target);
    if (session_.empty()) return false;
    // The target exists before its script has run.
    while (true) {
      std::optional<Json> kind = evaluate("typeof callHost", 10000);
      if (!kind) return false;
      if (*kind == "function") return true;
      if (std::chrono::steady_clock::now() > deadline) return fail("the worker's script never ran");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // The next NUL-terminated message from the browser, or nullopt at the
  // deadline or when the browser closed the pipe.
  std::optional<std::string> read_message(std::chrono::steady_clock::time_point deadline) {
    while (true) {
      const std::size_t end = pending_.find('\0');
      if (end != std::string::npos) {
        std::string body = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return body;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) {
        error_ = "timed out";
        return std::nullopt;
      }
      pollfd p{from_browser_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
      if (ready < 0 && errno != EINTR) return fail_none(std::strerror(errno));
      if (ready <= 0) continue;
      char buf[65536];
      const ssize_t n = ::read(from_browser_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return fail_none("the browser closed its DevTools pipe");
      pending_.append(buf, static_cast<std::size_t>(n));
    }
  }

  bool write_all(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(to_browser_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return fail("cannot write to the browser: " + std::string(std::strerror(errno)));
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Waits for the browser to exit but leaves it unreaped; true once it has.
  static bool write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return out.good();
  }

  static void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  std::nullopt_t fail_none(std::string message) {
    error_ = std::move(message);
    return std::nullopt;
  }

  BrowserOptions options_;
  TempTree folder_;
  pid_t pid_ = -1;
  int to_browser_ = -1;
  int from_browser_ = -1;
  int last_id_ = 0;
  std::string pending_;
  std::string session_;
  std::string error_;
  long long startup_ms_ = 0;
};

}  // namespace pelagon2::testing
