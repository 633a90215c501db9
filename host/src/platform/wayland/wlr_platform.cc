// The wlroots route: displays from wl_output and xdg-output, capture by
// wlr-screencopy into shared memory, windows from sway's IPC, input by the
// virtual pointer and keyboard (wlr_input.cc). Everything runs on one
// connection, opened lazily and again after the compositor came back.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/wayland/sway_ipc.h"
#include "platform/wayland/sway_tree_model.h"
#include "platform/wayland/wayland_model.h"
#include "platform/wayland/wayland_routes.h"
#include "platform/wayland/wlr_connection.h"
#include "platform/wayland/wlr_input.h"
#include "platform/x11/x11_window_model.h"
#include "wlr-screencopy-unstable-v1-client.h"

namespace pelagon2::platform::wayland::wlr {
namespace {

// ---- displays ----

class WlrDisplays final : public Displays {
 public:
  Expected<std::vector<DisplayRecord>> active_displays() override { return display_records(current()); }
  std::vector<ScreenRecord> screens() override { return screen_records(current()); }
  std::optional<double> main_screen_scale() override {
    const std::vector<DisplayRecord> records = display_records(current());
    for (const DisplayRecord& r : records) {
      if (r.is_main && r.width > 0) return static_cast<double>(r.mode_pixel_width) / r.width;
    }
    return std::nullopt;
  }

 private:
  // The outputs as they are now: a round trip takes in any change since the
  // last request. None when the compositor cannot be reached.
  static std::vector<Output> current() {
    Connection* c = session().connection();
    if (c == nullptr) return {};
    if (!c->roundtrip(deadline_from_now())) return {};
    return c->outputs();
  }
};

// ---- capture ----

struct Frame {
  std::uint32_t format = 0, width = 0, height = 0, stride = 0;
  bool has_shm = false, described = false, ready = false, failed = false, y_invert = false;
};

void frame_buffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
                  std::uint32_t height, std::uint32_t stride) {
  auto* f = static_cast<Frame*>(data);
  f->format = format, f->width = width, f->height = height, f->stride = stride;
  f->has_shm = true;
}
void frame_flags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
  static_cast<Frame*>(data)->y_invert = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}
void frame_ready(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
  static_cast<Frame*>(data)->ready = true;
}
void frame_failed(void* data, zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->failed = true; }
void frame_damage(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void frame_dmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {}
void frame_buffer_done(void* data, zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->described = true; }
const zwlr_screencopy_frame_v1_listener kFrameListener = {frame_buffer, frame_flags,  frame_ready,      frame_failed,
                                                          frame_damage, frame_dmabuf, frame_buffer_done};

// One shared-memory buffer, kept while captures keep its size and format.
struct ShmBuffer {
  int fd = -1;
  void* data = nullptr;
  std::size_t size = 0;
  wl_shm_pool* pool = nullptr;
  wl_buffer* buffer = nullptr;
  std::uint32_t format = 0, width = 0, height = 0, stride = 0;

  ~ShmBuffer() { clear(); }
  void clear() {
    if (buffer) wl_buffer_destroy(buffer);
    if (pool) wl_shm_pool_destroy(pool);
    if (data) ::munmap(data, size);
    if (fd >= 0) ::close(fd);
    fd = -1, data = nullptr, size = 0, pool = nullptr, buffer = nullptr;
    format = width = height = stride = 0;
  }
  ShmBuffer() = default;
  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;
  bool fits(const Frame& f) const {
    return buffer && format == f.format && width == f.width && height == f.height && stride == f.stride;
  }
  bool make(wl_shm* shm, const Frame& f) {
    clear();
    size = std::size_t{f.stride} * f.height;
    if (size == 0 || size > (std::size_t{1} << 31)) return false;
    fd = ::memfd_create("pelagon2-capture", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) return false;
    data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
      data = nullptr;
      return false;
    }
    pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(size));
    buffer = wl_shm_pool_create_buffer(pool, 0, static_cast<std::int32_t>(f.width), static_cast<std::int32_t>(f.height),
                                       static_cast<std::int32_t>(f.stride), f.format);
    format = f.format, width = f.width, height = f.height, stride = f.stride;
    return true;
  }
};

// After input, a capture follows the screen's changes until it has been
// quiet for kQuiet, counted from kInputSettle after the input at the
// earliest, and for kInputToFrame after the input at most. A client redraws
// within a frame or two of an event (16 ms each at 60 Hz); a loaded machine
// takes several times that; a blinking text cursor changes every half second.
constexpr std::chrono::milliseconds kInputSettle{60};
constexpr std::chrono::milliseconds kQuiet{40};
constexpr std::chrono::milliseconds kInputToFrame{400};

class WlrCapture final : public ScreenCapture {
 public:
  WlrCapture() {
    session().on_reset.push_back([this] { buffer_.clear(); });
  }
  // Capturing needs no permission: screencopy serves every client.
  bool preflight_access() override { return reachable(); }
  bool request_access() override { return reachable(); }
  bool access_gated() override { return false; }

  Expected<RawCapture> capture(const DisplayRecord& display) override {
    Connection* c = session().connection();
    if (c == nullptr) return make_error("the compositor cannot be reached");
    const Deadline deadline = deadline_from_now();
    wl_output* output = c->output_by_id(display.id);
    if (output == nullptr) return make_error("the display is no longer connected");
    std::optional<Expected<RawCapture>> result;
    // Input posted since the last copy may still be on its way to the
    // screen: clients draw a frame or more after taking it in. Copies with
    // damage follow their frames until the screen has been quiet for a while
    // (or the bound); a screen that never changes gets a plain copy.
    if (session().input_posted > session().copied) {
      const auto now = std::chrono::steady_clock::now();
      const auto settled = session().input_posted + kInputSettle;
      const Deadline bound = std::min(deadline, std::max(session().input_posted + kInputToFrame, now + kQuiet));
      while (true) {
        const auto from = std::max(std::chrono::steady_clock::now(), settled);
        std::optional<Expected<RawCapture>> next = copy(*c, output, true, std::min(bound, from + kQuiet));
        if (!next) break;
        const bool failed = !*next;
        result = std::move(next);
        if (failed || std::chrono::steady_clock::now() >= bound) break;
      }
    }
    if (!result) result = copy(*c, output, false, deadline);
    session().copied = std::chrono::steady_clock::now();
    if (!c->alive()) session().reset();
    return std::move(*result);
  }

 private:
  // One screencopy frame; nullopt when `with_damage` and no damage came by
  // the deadline (the connection is kept then).
  std::optional<Expected<RawCapture>> copy(Connection& c, wl_output* output, bool with_damage, Deadline deadline) {
    Frame frame;
    zwlr_screencopy_frame_v1* request = zwlr_screencopy_manager_v1_capture_output(c.screencopy(), 0, output);
    zwlr_screencopy_frame_v1_add_listener(request, &kFrameListener, &frame);
    const bool v3 = zwlr_screencopy_frame_v1_get_version(request) >= 3;
    const Deadline described_by = with_damage ? deadline_from_now() : deadline;
    const bool described =
        c.dispatch_until([&] { return frame.failed || (v3 ? frame.described : frame.has_shm); }, described_by);
    std::optional<Expected<RawCapture>> result = make_error("the compositor did not answer in time");
    if (!described) {
      if (!c.alive()) result = make_error("the connection to the compositor was lost");
    } else if (frame.failed || !frame.has_shm) {
      result = make_error("the compositor refused the capture");
    } else if (frame.format != WL_SHM_FORMAT_XRGB8888 && frame.format != WL_SHM_FORMAT_ARGB8888) {
      result = make_error("the compositor offered an unsupported pixel format");
    } else if (!buffer_.fits(frame) && !buffer_.make(c.shm(), frame)) {
      result = make_error("no shared memory for the capture");
    } else {
      if (with_damage) {
        zwlr_screencopy_frame_v1_copy_with_damage(request, buffer_.buffer);
      } else {
        zwlr_screencopy_frame_v1_copy(request, buffer_.buffer);
      }
      if (!c.dispatch_until([&] { return frame.ready || frame.failed; }, deadline, with_damage)) {
        if (!c.alive()) {
          result = make_error("the connection to the compositor was lost");
        } else if (with_damage) {
          result = std::nullopt;
        }
      } else if (frame.failed) {
        result = make_error("the compositor could not copy the screen");
      } else {
        auto* bytes = static_cast<std::uint8_t*>(buffer_.data);
        if (frame.y_invert) flip(bytes, frame.stride, frame.height);
        RawCapture raw;
        raw.bytes = std::span<const std::uint8_t>(bytes, buffer_.size);
        raw.width = frame.width;
        raw.height = frame.height;
        raw.bytes_per_row = frame.stride;
        // Little-endian XRGB is blue, green, red, unused in memory.
        raw.order = PixelOrder::bgrx;
        result = raw;
      }
    }
    zwlr_screencopy_frame_v1_destroy(request);
    return result;
  }

  static bool reachable() {
    Connection* c = session().connection();
    return c != nullptr && c->screencopy() != nullptr;
  }
  static void flip(std::uint8_t* bytes, std::size_t stride, std::uint32_t rows) {
    std::vector<std::uint8_t> row(stride);
    for (std::uint32_t top = 0, bottom = rows - 1; top < bottom; ++top, --bottom) {
      std::memcpy(row.data(), bytes + top * stride, stride);
      std::memcpy(bytes + top * stride, bytes + bottom * stride, stride);
      std::memcpy(bytes + bottom * stride, row.data(), stride);
    }
  }

  ShmBuffer buffer_;
};

// ---- windows ----

class WlrWindows final : public WindowList {
 public:
  std::vector<std::int32_t> browser_pids() override { return x11::browser_pids_in("/proc"); }
  // sway tells where its views are; other wlroots compositors tell nobody.
  std::optional<std::vector<WindowRecord>> front_to_back() override {
    const char* socket = std::getenv("SWAYSOCK");
    if (socket == nullptr || *socket == '\0') return std::vector<WindowRecord>{};
    const std::optional<std::string> tree = sway_get_tree(socket, deadline_from_now());
    if (!tree) return std::nullopt;
    return sway_windows(*tree);
  }
};

// ---- permissions ----

class WlrPermissions final : public Permissions {
 public:
  bool accessibility_trusted() override {
    Connection* c = session().connection();
    return c != nullptr && c->pointer_manager() != nullptr && c->keyboard_manager() != nullptr;
  }
  bool request_accessibility() override { return accessibility_trusted(); }
};

}  // namespace

bool offered() {
  const std::unique_ptr<Connection> c = Connection::open(deadline_from_now());
  return c != nullptr && c->screencopy() && c->pointer_manager() && c->keyboard_manager();
}

std::unique_ptr<Platform> make_platform() {
  auto platform = std::make_unique<Platform>();
  platform->displays = std::make_unique<WlrDisplays>();
  platform->capture = std::make_unique<WlrCapture>();
  platform->windows = std::make_unique<WlrWindows>();
  platform->permissions = std::make_unique<WlrPermissions>();
  platform->input = make_input(system_clock());
  return platform;
}

}  // namespace pelagon2::platform::wayland::wlr
