// Long run: one host answers many mixed requests; its resident memory is
// printed at 10 % and at the end, so a leak or a buffer kept per request shows
// as growth. With --xvfb the screen and input methods run too, on a private X
// server.
//
//   soak [--requests=N] [--xvfb] [--host=PATH]
//
// Prints figures and a per-method count of error replies; exits 1 only when the
// host stops answering.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base64.h"
#include "host/tests/support/xvfb_server.h"
#include "tools/client/host_client.h"

namespace {

using pelagon2::Json;

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

std::string raw_rgb_base64(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  std::string pixels(std::size_t{width} * height * 3, '\0');
  std::uint32_t state = seed;
  for (char& c : pixels) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return pelagon2::base64_encode(pixels);
}

struct Request {
  std::string method;
  Json params;
  int every;  // sent on every n-th round
};

std::vector<Request> mixed_requests(const std::string& dir, bool screen) {
  const std::string image = raw_rgb_base64(64, 48, 1);
  const std::string pattern = raw_rgb_base64(8, 8, 2);
  const std::string file = dir + "/soak.txt";
  const std::string bytes_file = dir + "/soak.bin";
  // A 4×3 RGB PNG.
  const std::string png =
      "iVBORw0KGgoAAAANSUhEUgAAAAQAAAADCAIAAAA7ljmRAAAAMElEQVR4nGNgsKnY8kEnY8kDmYgpDCIBPSdYHGp2fDHIWcGgkbLgjkTIhDMcLg17"
      "ADYOEDkMEb8BAAAAAElFTkSuQmCC";
  std::vector<Request> requests = {
      {"get_version", Json::object(), 1},
      {"get_image_info", Json{{"content", png}}, 1},
      {"search_image", Json{{"image", {{"data", image}, {"width", 64}, {"height", 48}}},
                            {"pattern", {{"data", pattern}, {"width", 8}, {"height", 8}}}},
       1},
      {"write_all_text", Json{{"path", file}, {"content", "soak line\n"}}, 1},
      {"append_all_text", Json{{"path", file}, {"content", "more\n"}}, 1},
      {"read_all_text", Json{{"path", file}}, 1},
      {"write_all_bytes", Json{{"path", bytes_file}, {"content", image}}, 1},
      {"read_all_bytes", Json{{"path", bytes_file}}, 1},
      {"read_file_range", Json{{"path", bytes_file}, {"rangeStart", 10u}, {"rangeEnd", 5000u}}, 1},
      {"get_file_size", Json{{"path", bytes_file}}, 1},
      {"get_file_system_entry_info", Json{{"path", file}}, 1},
      {"file_exists", Json{{"path", file}}, 1},
      {"copy_file", Json{{"sourcePath", file}, {"targetPath", dir + "/copy.txt"}}, 1},
      {"move_file", Json{{"sourcePath", dir + "/copy.txt"}, {"targetPath", dir + "/moved.txt"}}, 1},
      {"delete_file", Json{{"path", dir + "/moved.txt"}}, 1},
      {"create_directory", Json{{"path", dir + "/sub/deeper"}}, 1},
      {"get_file_system_entries", Json{{"path", dir}}, 1},
      {"remove_directory", Json{{"path", dir + "/sub"}}, 1},
      {"get_special_folder_path", Json{{"folder", 1u}}, 1},
      {"run_process", Json{{"fileName", "true"}, {"arguments", ""}, {"waitForExit", true}}, 50},
      {"no_such_method", Json::object(), 1},
      {"get_display_list", Json::object(), 1},
      {"get_desktop_dpi", Json::object(), 1},
      {"get_screen_backing_scale_factor", Json::object(), 1},
      {"get_permission_status", Json::object(), 1},
      {"get_active_browser_outer_rect", Json::object(), 1},
      {"ocr_language_list", Json::object(), 10},
  };
  if (screen) {
    const std::vector<Request> more = {
        {"search_desktop", Json{{"pattern", {{"data", pattern}, {"width", 8}, {"height", 8}}}}, 5},
        {"capture_desktop", Json{{"path", dir + "/capture.png"}}, 20},
        {"find_color_regions", Json{{"color", "ff0000"}}, 5},
        {"find_rectangle", Json{{"color", "00ff00"}}, 5},
        {"send_mouse_event", Json{{"type", 0}, {"button", 0}, {"x", 10}, {"y", 10}}, 50},
        {"send_mouse_wheel_event", Json{{"deltaX", 0}, {"deltaY", 0}}, 1},
        {"send_text", Json{{"text", ""}}, 1},
    };
    requests.insert(requests.end(), more.begin(), more.end());
  }
  return requests;
}

std::size_t option(int argc, char** argv, const char* name, std::size_t fallback) {
  const std::size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return std::strtoull(argv[i] + length + 1, nullptr, 10);
  }
  return fallback;
}

const char* text_option(int argc, char** argv, const char* name, const char* fallback) {
  const std::size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return argv[i] + length + 1;
  }
  return fallback;
}

bool flag(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t total = option(argc, argv, "--requests", 100000);
  const bool screen = flag(argc, argv, "--xvfb");
  const std::string host_path = text_option(argc, argv, "--host", PELAGON2_BUILT_HOST);

  char dir_template[] = "/tmp/pelagon2-soak-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) return 1;
  const std::string dir = dir_template;

  std::unique_ptr<pelagon2::testing::XvfbServer> server;
  std::vector<std::string> env = {"TMPDIR=" + dir, "DISPLAY="};
  if (screen) {
    server = std::make_unique<pelagon2::testing::XvfbServer>("1280x800x24");
    if (!server->running()) {
      std::fprintf(stderr, "soak: Xvfb did not start\n");
      return 1;
    }
    env.back() = "DISPLAY=" + server->display();
  }

  pelagon2::HostClient host(host_path, env);
  if (!host.started()) return 1;
  const std::vector<Request> requests = mixed_requests(dir, screen);

  std::map<std::string, std::size_t> errors;
  std::size_t sent = 0;
  long at_tenth = -1;
  for (std::size_t round = 0; sent < total; ++round) {
    for (const Request& r : requests) {
      if (sent >= total) break;
      if (round % static_cast<std::size_t>(r.every) != 0) continue;
      const std::optional<Json> reply = host.call(r.method, r.params, Json(sent));
      if (!reply) {
        std::fprintf(stderr, "soak: no reply to %s after %zu requests: %s\n", r.method.c_str(), sent,
                     host.last_error().c_str());
        return 1;
      }
      if (reply->contains("error")) ++errors[r.method];
      ++sent;
      if (sent == total / 10) {
        at_tenth = resident_kib(host.pid());
        std::printf("after %zu requests: host resident %ld KiB\n", sent, at_tenth);
        std::fflush(stdout);
      }
    }
  }
  const long at_end = resident_kib(host.pid());
  std::printf("after %zu requests: host resident %ld KiB", sent, at_end);
  if (at_tenth > 0) std::printf(" (%+.1f %% since %zu)", 100.0 * double(at_end - at_tenth) / double(at_tenth), total / 10);
  std::printf("\n");
  for (const auto& [method, count] : errors) std::printf("error replies: %s %zu\n", method.c_str(), count);

  host.close_input();
  host.wait_exit();
  std::string cleanup = "rm -rf '" + dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 0;
}
