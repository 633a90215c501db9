// x11_screen_bench: the screen path on a private 2880x1800 X server showing a
// screenshot-like picture.
//
//   x11_screen_bench [REPEATS [BASELINE_HOST]]
//
// Prints the median, min and max wall time of REPEATS runs (default 30) and
// the CPU time per run of the process doing the work and of the X server:
//   - XShmGetImage into an attached segment on an open connection (the floor);
//   - the backend's capture alone (own connection, attach, XShmGetImage), and
//     with a new backend, so a fresh segment, every time;
//   - the parts around it: a connection, the gate, the monitor query, the
//     conversion to RGB, a zeroed image;
//   - capture_display_rgb and capture_display, search_pattern on a capture
//     and search_desktop in-process; PNG encoding and writing of a capture,
//     and the same rows deflated by zlib at level 1 as the baseline;
//   - capture on a server without MIT-SHM (XGetImage);
//   - over the pipe to the real host: search_desktop for a 64x64 pattern
//     and capture_desktop, end to end; then the same for BASELINE_HOST, when
//     given (another build, to compare with).

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <malloc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/process_cpu.h"
#include "cv/desktop_search.h"
#include "cv/png_output.h"
#include "cv/search_pattern.h"
#include "cv/screen_capture.h"
#include "testkit/synthetic_screen.h"
#include "host/tests/support/x11_painter.h"
#include "host/tests/support/xvfb_server.h"
#include "platform/x11/x11_capture.h"
#include "screen/capture.h"
#include "screen/capture_pixels.h"
#include "tools/client/host_client.h"

namespace {

using Clock = std::chrono::steady_clock;

pid_t g_server_pid = -1;  // the X server whose CPU time is reported
pid_t g_client_pid = -1;  // the other process doing the work (the host), if any

struct Figures {
  double median = 0, min = 0, max = 0;
  double cpu = 0;         // per run: this process and the client
  double server_cpu = 0;  // per run: the X server
};

Figures measure(int repeats, const std::function<bool()>& run) {
  std::vector<double> times;
  const double cpu_start = cpu_ms(getpid()) + (g_client_pid > 0 ? cpu_ms(g_client_pid) : 0.0);
  const double server_start = cpu_ms(g_server_pid);
  for (int i = 0; i < repeats; ++i) {
    const Clock::time_point start = Clock::now();
    if (!run()) {
      std::fprintf(stderr, "a run failed\n");
      return Figures{-1, -1, -1, -1, -1};
    }
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  const double cpu = cpu_ms(getpid()) + (g_client_pid > 0 ? cpu_ms(g_client_pid) : 0.0) - cpu_start;
  const double server = cpu_ms(g_server_pid) - server_start;
  std::sort(times.begin(), times.end());
  return Figures{times[times.size() / 2], times.front(), times.back(), cpu / repeats, server / repeats};
}

void print(const char* what, const Figures& f, int repeats) {
  std::printf("%-56s median %8.2f ms (min %7.2f, max %7.2f, n=%2d)  CPU %6.2f ms + X server %6.2f ms per run\n", what,
              f.median, f.min, f.max, repeats, f.cpu, f.server_cpu);
}

// XShmGetImage alone: one connection, one attached segment, as the floor.
Figures raw_shm_floor(const std::string& display_name, int repeats) {
  Display* x = XOpenDisplay(display_name.c_str());
  if (x == nullptr) return Figures{-1, -1, -1};
  const int screen = DefaultScreen(x);
  XShmSegmentInfo info{};
  XImage* image = XShmCreateImage(x, DefaultVisual(x, screen), static_cast<unsigned>(DefaultDepth(x, screen)), ZPixmap,
                                  nullptr, &info, 2880, 1800);
  info.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image->bytes_per_line) * 1800, IPC_CREAT | 0600);
  info.shmaddr = image->data = static_cast<char*>(shmat(info.shmid, nullptr, 0));
  shmctl(info.shmid, IPC_RMID, nullptr);
  XShmAttach(x, &info);
  XSync(x, False);
  const Figures f = measure(repeats, [&] { return XShmGetImage(x, RootWindow(x, screen), image, 0, 0, AllPlanes) != 0; });
  XShmDetach(x, &info);
  XSync(x, False);
  shmdt(info.shmaddr);
  image->data = nullptr;
  image->obdata = nullptr;
  XDestroyImage(image);
  XCloseDisplay(x);
  return f;
}

double request_ms(pelagon2::HostClient& host, const std::string& body, bool* ok) {
  const Clock::time_point start = Clock::now();
  *ok = host.send_frame(body);
  const std::optional<std::string> reply = *ok ? host.read_frame() : std::nullopt;
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (!reply || reply->find("\"result\"") == std::string::npos) {
    std::fprintf(stderr, "unexpected reply: %.200s\n", reply ? reply->c_str() : host.last_error().c_str());
    *ok = false;
  }
  return ms;
}

void wire_figures(const char* host_path, const std::string& display, const vision_core::RgbImage& screen, int repeats) {
  const auto [px, py] = pelagon2::testing::busiest_window(screen, 64);
  const pelagon2::Json search{
      {"id", 1},
      {"method", "search_desktop"},
      {"params", {{"pattern", pelagon2::testing::png_param(pelagon2::testing::crop(screen, px, py, 64, 64))}}}};
  const std::string capture_path = "/tmp/x11_screen_bench_capture.png";
  const pelagon2::Json capture{{"id", 2}, {"method", "capture_desktop"}, {"params", {{"path", capture_path}}}};

  std::printf("host %s\n", host_path);
  pelagon2::HostClient host(host_path, {"DISPLAY=" + display});
  if (!host.started() || !host.call("get_version")) {
    std::fprintf(stderr, "cannot start the host: %s\n", host.last_error().c_str());
    return;
  }
  g_client_pid = host.pid();
  for (const auto& [name, request] : {std::pair{"search_desktop 64x64 over the pipe", search},
                                      std::pair{"capture_desktop over the pipe", capture}}) {
    const std::string body = pelagon2::to_json_text(request);
    bool ok = true;
    const double first = request_ms(host, body, &ok);
    const Figures steady = measure(repeats, [&] {
      bool good = true;
      request_ms(host, body, &good);
      return good;
    });
    std::printf("%-56s first  %8.2f ms\n", name, first);
    print("  steady", steady, repeats);
  }
  std::remove(capture_path.c_str());
  host.close_input();
  host.wait_exit();
  g_client_pid = -1;
}

}  // namespace

int main(int argc, char** argv) {
  // As the host does: large buffers stay in the heap from run to run instead
  // of being mapped and faulted in afresh every time.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const vision_core::RgbImage screen = pelagon2::testing::synthetic_screen(2880, 1800, 42);

  pelagon2::testing::XvfbServer server("2880x1800x24");
  if (!server.running()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  g_server_pid = server.pid();
  pelagon2::testing::X11Painter painter(server.display());
  if (!painter.connected()) return 1;
  painter.show(screen, 0, 0);
  // The backend reads DISPLAY as every X client does; it names our own server.
  setenv("DISPLAY", server.display().c_str(), 1);
  std::printf("Xvfb %s 2880x1800x24, %d runs each\n", server.display().c_str(), repeats);

  print("XShmGetImage, attached segment, open connection", raw_shm_floor(server.display(), repeats), repeats);

  const std::unique_ptr<pelagon2::platform::Platform> platform = pelagon2::platform::create_platform();
  const auto displays = platform->displays->active_displays();
  if (!displays || displays->empty()) return 1;
  const pelagon2::platform::DisplayRecord display = (*displays)[0];
  print("backend capture (connect, attach, XShmGetImage, close)",
        measure(repeats, [&] { return platform->capture->capture(display).ok(); }), repeats);
  print("backend capture, fresh segment every time", measure(repeats, [&] {
          return pelagon2::platform::x11::make_screen_capture()->capture(display).ok();
        }),
        repeats);
  print("  X connection opened and closed", measure(repeats, [&] {
          Display* x = XOpenDisplay(server.display().c_str());
          if (x != nullptr) XCloseDisplay(x);
          return x != nullptr;
        }),
        repeats);
  print("  screen recording gate (preflight)", measure(repeats, [&] { return platform->capture->preflight_access(); }),
        repeats);
  print("  active displays (RandR monitors)",
        measure(repeats, [&] { return platform->displays->active_displays().ok(); }), repeats);
  {
    std::vector<std::uint8_t> bgrx(std::size_t{2880} * 1800 * 4, 0x5A);
    vision_core::RgbImage rgb(2880, 1800);
    print("  bgrx to RGB, 2880x1800", measure(repeats, [&] {
            pelagon2::screen::bgra_to_rgb(bgrx.data(), rgb.pixels.data(), std::size_t{2880} * 1800);
            return true;
          }),
          repeats);
    print("  zeroed 2880x1800 RGB image", measure(repeats, [&] {
            const vision_core::RgbImage fresh(2880, 1800);
            return fresh.pixels[12345] == 0;
          }),
          repeats);
  }
  print("capture_display_rgb (gate, displays, capture, to RGB)",
        measure(repeats, [&] { return pelagon2::screen::capture_display_rgb(*platform).ok(); }), repeats);
  print("capture_display (RGBA)", measure(repeats, [&] { return pelagon2::screen::capture_display(*platform).ok(); }),
        repeats);
  {
    const auto [px, py] = pelagon2::testing::busiest_window(screen, 64);
    const vision_core::RgbImage pattern = pelagon2::testing::crop(screen, px, py, 64, 64);
    const auto rgb = pelagon2::screen::capture_display_rgb(*platform);
    if (!rgb) return 1;
    const pelagon2::cv::SearchOptions options;
    print("  search_pattern 64x64 on that capture", measure(repeats, [&] {
            const auto found = pelagon2::cv::search_pattern(rgb->image.view(), pattern.view(), options, 96.0, 96.0);
            return found.ok() && found->size() == 1;
          }),
          repeats);
    const pelagon2::Json params{{"pattern", pelagon2::testing::raw_param(pattern)}};
    print("search_desktop 64x64 in-process", measure(repeats, [&] {
            return pelagon2::cv::search_desktop(params, *platform).ok();
          }),
          repeats);
  }
  const auto rgba = pelagon2::screen::capture_display(*platform);
  if (!rgba) return 1;
  const std::string png_path = "/tmp/x11_screen_bench_encode.png";
  print("  PNG encode + write of that capture (RGBA)", measure(std::min(repeats, 10), [&] {
          return pelagon2::cv::write_png_file(rgba->pixels, rgba->width, rgba->height, pelagon2::cv::PngColor::rgba,
                                              96.0, png_path)
              .ok();
        }),
        std::min(repeats, 10));
  // Baseline: the same rows Sub-filtered and deflated by zlib at its fastest
  // level, written to the same file (the chunk framing is left out).
  print("  same with zlib level 1 (baseline)", measure(std::min(repeats, 10), [&] {
          const std::size_t stride = std::size_t{rgba->width} * 4;
          std::vector<std::uint8_t> filtered((stride + 1) * rgba->height);
          for (std::size_t y = 0; y < rgba->height; ++y) {
            const std::uint8_t* row = rgba->pixels.data() + y * stride;
            std::uint8_t* out = filtered.data() + y * (stride + 1);
            out[0] = 1;
            for (std::size_t i = 0; i < stride; ++i) {
              out[1 + i] = static_cast<std::uint8_t>(row[i] - (i >= 4 ? row[i - 4] : 0));
            }
          }
          uLongf size = compressBound(static_cast<uLong>(filtered.size()));
          std::vector<std::uint8_t> deflated(size);
          const uLong in_size = static_cast<uLong>(filtered.size());
          if (compress2(deflated.data(), &size, filtered.data(), in_size, 1) != Z_OK) return false;
          std::FILE* file = std::fopen(png_path.c_str(), "wb");
          if (file == nullptr) return false;
          const bool ok = std::fwrite(deflated.data(), 1, size, file) == size;
          return std::fclose(file) == 0 && ok;
        }),
        std::min(repeats, 10));
  std::remove(png_path.c_str());

  {
    pelagon2::testing::XvfbServer plain("2880x1800x24", {"-extension", "MIT-SHM"});
    pelagon2::testing::X11Painter plain_painter(plain.display());
    if (plain.running() && plain_painter.connected()) {
      plain_painter.show(screen, 0, 0);
      setenv("DISPLAY", plain.display().c_str(), 1);
      g_server_pid = plain.pid();
      const int few = std::min(repeats, 5);
      print("backend capture without MIT-SHM (XGetImage)",
            measure(few, [&] { return platform->capture->capture(display).ok(); }), few);
      setenv("DISPLAY", server.display().c_str(), 1);
      g_server_pid = server.pid();
    }
  }

  wire_figures(PELAGON2_BUILT_HOST, server.display(), screen, repeats);
  if (argc > 2) wire_figures(argv[2], server.display(), screen, repeats);
  return 0;
}
