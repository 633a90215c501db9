// handler_fuzz: the whole request handler, every method, on arbitrary
// parameters, with the platform faked.
//
// Input layout: byte 0 picks the method (an index into the host's method
// table), byte 1 picks what the fake desktop looks like, and the rest is the
// `params` JSON text (text that does not parse is sent as a JSON string).
// The harness keeps the run harmless: every path parameter is turned into a
// path inside a scratch directory (also TMPDIR and HOME), `run_process` is
// left out, and waits never sleep.
// Invariants: no crash, no leak, no exception; every reply carries the id and
// exactly one of "result" or "error" (a non-empty message); the reply writes
// to JSON text that parses back to itself.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/json.h"
#include "fakes/fake_platform.h"
#include "main/request_handler.h"

namespace {

using pelagon2::Json;

void check(bool condition) {
  if (!condition) std::abort();
}

std::filesystem::path& scratch() {
  static std::filesystem::path path;
  return path;
}

// Every file the handler may touch lives under one fresh directory.
void enter_scratch() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "pelagon2-handler-fuzz-XXXXXX").string();
  check(mkdtemp(tmpl.data()) != nullptr);
  scratch() = tmpl;
  setenv("TMPDIR", tmpl.c_str(), 1);
  setenv("HOME", tmpl.c_str(), 1);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(scratch(), ignored);
  });
}

// Starts each batch of inputs from an empty scratch directory, so files the
// fuzzer creates cannot pile up without bound.
void empty_scratch() {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(scratch(), ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

// No "..": the path stays below the scratch directory (the handler creates no
// links, so nothing inside leads out).
std::string confine(const std::string& path) {
  std::string out = scratch().string();
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") part = "_";
    if (!part.empty()) out += '/' + part;
    start = end + 1;
  }
  return out;
}

bool is_path_key(std::string_view key) {
  return key == "path" || key == "sourcePath" || key == "targetPath" || key == "capturePath" || key == "fileName";
}

void confine_paths(Json& value) {
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (is_path_key(it.key()) && it->is_string()) {
        *it = confine(it->get<std::string>());
      } else {
        confine_paths(*it);
      }
    }
  } else if (value.is_array()) {
    for (Json& element : value) confine_paths(element);
  }
}

// A small desktop: up to two displays with noisy pixels, a browser window, and
// services that fail or refuse as `shape` asks.
void set_up(pelagon2::testing::FakePlatform& platform, std::uint8_t shape) {
  using pelagon2::testing::display;
  auto& displays = platform.displays_fake();
  switch (shape % 4) {
    case 0:
      displays.list = std::vector<pelagon2::platform::DisplayRecord>{};
      break;
    case 1:
      displays.list = std::vector{display(1, 0, 0, 40, 30, 40, true)};
      break;
    case 2:
      displays.list = std::vector{display(1, 0, 0, 40, 30, 80, true), display(2, 40, -10, 24, 16, 24)};
      break;
    default:
      displays.list = pelagon2::make_error("display query failed");
      break;
  }
  displays.main_scale = (shape & 4) != 0 ? std::optional<double>(2.0) : std::nullopt;
  vision_core::RgbImage screen(40, 30);
  for (std::size_t i = 0; i < screen.pixels.size(); ++i) screen.pixels[i] = static_cast<std::uint8_t>(i * 131 + shape);
  platform.capture_fake().show(screen);
  if ((shape & 8) != 0) platform.capture_fake().error = "capture refused";
  platform.capture_fake().preflight = (shape & 16) == 0;
  platform.windows_fake().pids = {42};
  platform.windows_fake().windows = std::vector<pelagon2::platform::WindowRecord>{};
  platform.permissions_fake().trusted = (shape & 32) == 0;
  if ((shape & 64) != 0) platform.input_fake().fail_at = 1;
  pelagon2::platform::RecognizedLine line;
  line.text = "fuzz";
  platform.recognizer_fake().lines = std::vector{line};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool entered = (enter_scratch(), true);
  static unsigned runs = 0;
  (void)entered;
  if (++runs % 512 == 0) empty_scratch();
  if (size < 2) return 0;

  const auto methods = pelagon2::method_table();
  const std::string_view method = methods[data[0] % methods.size()].name;
  if (method == "run_process") return 0;  // never starts programs
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  static pelagon2::JsonParser parser;  // the host's own parser, with its limits
  std::optional<Json> parsed = parser.parse(text);
  Json params = parsed ? std::move(*parsed) : Json(std::string(text));
  confine_paths(params);
  // A wait checks the screen once and answers; its loop sleeps for real.
  if (method == "wait_for_image" && params.is_object()) params["timeoutMs"] = 0u;

  pelagon2::testing::FakePlatform platform;
  set_up(platform, data[1]);
  const Json request{{"id", 7}, {"method", method}, {"params", params}};
  const Json reply = pelagon2::handle_request(request, platform);

  check(reply.is_object() && reply.contains("id") && reply["id"] == 7);
  check(reply.contains("result") != reply.contains("error"));
  if (reply.contains("error")) {
    const Json& message = reply["error"]["message"];
    check(message.is_string() && !message.get<std::string>().empty());
  }
  const std::string written = pelagon2::to_json_text(reply);
  const std::optional<Json> again = parser.parse(written);
  check(again.has_value() && pelagon2::to_json_text(*again) == written);
  return 0;
}
