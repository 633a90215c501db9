#pragma once
// The GTK 3 client of the Wayland tests (tests/wayland/apps/gtk_events.py) on
// a compositor: started with the compositor's client environment, ready once
// it reports its window fullscreen and focused; its events read back as JSON.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "support/temp_tree.h"
#include "support/x_clients.h"

namespace pelagon2::testing {

// Where the client paints, in window points (the window sits at its output's origin).
struct Block {
  int x, y, width, height;
  std::uint8_t r, g, b;
};
inline constexpr Block kRedBlock{100, 100, 200, 100, 255, 0, 0};
inline constexpr Block kBlueBlock{400, 100, 100, 100, 0, 0, 255};

class GtkEventsClient {
 public:
  // `executable_name`: run by a copy of the interpreter of that name (a
  // browser's, say), so the process is listed under it.
  explicit GtkEventsClient(std::vector<std::string> env, const std::string& executable_name = "") {
    events_path_ = dir_ / "events.jsonl";
    std::ofstream(events_path_).close();
    std::string python = "/usr/bin/python3";
    if (!executable_name.empty()) {
      python = copy_program(std::filesystem::canonical(python).string(), dir_.path(), executable_name);
      // A copy elsewhere finds its standard library by this.
      env.push_back("PYTHONHOME=/usr");
    }
    program_ = std::make_unique<Program>(
        std::vector<std::string>{python, std::string(PELAGON2_WAYLAND_APPS_DIR) + "/gtk_events.py", events_path_}, env);
    ready_ = wait_for([](const Json& e) { return e.value("event", "") == "ready"; }).has_value();
  }
  ~GtkEventsClient() { stop(); }
  GtkEventsClient(const GtkEventsClient&) = delete;
  GtkEventsClient& operator=(const GtkEventsClient&) = delete;

  static bool available() { return ::access("/usr/bin/python3", X_OK) == 0; }

  bool ready() const { return ready_; }
  pid_t pid() const { return program_ ? program_->pid() : -1; }
  void stop() {
    if (program_) program_->stop();
  }

  // Every event so far, in order.
  std::vector<Json> events() const {
    std::vector<Json> out;
    std::ifstream in(events_path_);
    std::string line;
    while (std::getline(in, line)) {
      Json j = Json::parse(line, nullptr, false);
      if (!j.is_discarded()) out.push_back(std::move(j));
    }
    return out;
  }

  // The first event after the first `skip` ones matching `match`, waiting up to `timeout`.
  std::optional<Json> wait_for(const std::function<bool(const Json&)>& match,
                               std::chrono::milliseconds timeout = std::chrono::seconds(20), std::size_t skip = 0) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
      const std::vector<Json> all = events();
      for (std::size_t i = skip; i < all.size(); ++i) {
        if (match(all[i])) return all[i];
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
  }

  // The entry's text once it equals `text` (waiting up to 20 s), else its last text.
  std::string wait_for_text(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string last;
    do {
      last.clear();
      for (const Json& e : events()) {
        if (e.value("event", "") == "text") last = e.value("text", "");
      }
      if (last == text) return last;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return last;
  }

 private:
  TempTree dir_;
  std::string events_path_;
  std::unique_ptr<Program> program_;
  bool ready_ = false;
};

}  // namespace pelagon2::testing
