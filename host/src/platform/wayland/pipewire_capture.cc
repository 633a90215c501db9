#include "platform/wayland/pipewire_capture.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace pelagon2::platform::wayland::gnome {

std::int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {

// Shared state of the streams, guarded by `mutex` (the loop thread writes it).
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  bool failed = false;
  std::string failure;
  std::vector<std::uint32_t> nodes;  // set before the loop runs, read only after
};

struct Stream {
  Shared* shared = nullptr;
  std::uint32_t node = 0;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  spa_video_info_raw format{};
  bool rgb_order = false;  // RGBx/RGBA: red and blue swapped into place when copied
  Frame frame;             // newest frame, under shared->mutex
};

void fail(Shared* shared, const std::string& why) {
  {
    std::lock_guard lock(shared->mutex);
    if (!shared->failed) shared->failure = why;
    shared->failed = true;
  }
  shared->changed.notify_all();
}

void on_state_changed(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* s = static_cast<Stream*>(data);
  if (state == PW_STREAM_STATE_ERROR) fail(s->shared, std::string("the screen-cast stream failed: ") + (error ? error : ""));
  if (state == PW_STREAM_STATE_UNCONNECTED) fail(s->shared, "the screen-cast stream ended");
}

void on_param_changed(void* data, uint32_t id, const spa_pod* param) {
  auto* s = static_cast<Stream*>(data);
  if (param == nullptr || id != SPA_PARAM_Format) return;
  std::uint32_t media_type = 0, media_subtype = 0;
  if (spa_format_parse(param, &media_type, &media_subtype) < 0) return;
  if (media_type != SPA_MEDIA_TYPE_video || media_subtype != SPA_MEDIA_SUBTYPE_raw) return;
  if (spa_format_video_raw_parse(param, &s->format) < 0) return;
  s->rgb_order = s->format.format == SPA_VIDEO_FORMAT_RGBx || s->format.format == SPA_VIDEO_FORMAT_RGBA;
  // Shared memory only: the frames are read by the CPU.
  std::uint8_t buffer[256];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_pod_frame f;
  spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
  spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_dataType, 0);
  spa_pod_builder_int(&b, (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr));
  const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f))};
  pw_stream_update_params(s->stream, params, 1);
}

void on_process(void* data) {
  auto* s = static_cast<Stream*>(data);
  // The newest queued buffer; older ones go back at once.
  pw_buffer* newest = nullptr;
  while (pw_buffer* b = pw_stream_dequeue_buffer(s->stream)) {
    if (newest != nullptr) pw_stream_queue_buffer(s->stream, newest);
    newest = b;
  }
  if (newest == nullptr) return;
  spa_buffer* buffer = newest->buffer;
  const spa_data& d = buffer->datas[0];
  const std::uint32_t width = s->format.size.width, height = s->format.size.height;
  if (d.data != nullptr && d.chunk != nullptr && d.chunk->size > 0 && width > 0 && height > 0 &&
      (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0) {
    const std::size_t stride = d.chunk->stride > 0 ? static_cast<std::size_t>(d.chunk->stride) : width * 4u;
    const std::size_t need = stride * (height - 1) + width * 4u;
    const std::size_t offset = d.chunk->offset % std::max<std::uint32_t>(d.maxsize, 1);
    if (offset + need <= d.maxsize) {
      const auto* from = static_cast<const std::uint8_t*>(d.data) + offset;
      {
        std::lock_guard lock(s->shared->mutex);
        Frame& f = s->frame;
        f.width = width;
        f.height = height;
        f.stride = width * 4u;
        // A monitor's picture is opaque: its alpha (BGRA, RGBA) says nothing, as on X11.
        f.order = PixelOrder::bgrx;
        f.bytes.resize(f.stride * height);
        for (std::uint32_t y = 0; y < height; ++y) {
          std::uint8_t* row = f.bytes.data() + y * f.stride;
          std::memcpy(row, from + y * stride, f.stride);
          if (s->rgb_order) {
            for (std::uint32_t x = 0; x < width; ++x) std::swap(row[x * 4], row[x * 4 + 2]);
          }
        }
        f.arrived_ns = steady_ns();
      }
      s->shared->changed.notify_all();
    }
  }
  pw_stream_queue_buffer(s->stream, newest);
}

void on_core_error(void* data, uint32_t id, int, int res, const char* message) {
  auto* shared = static_cast<Shared*>(data);
  if (id == PW_ID_CORE && res == -EPIPE) fail(shared, "the connection to PipeWire was lost");
  else if (id == PW_ID_CORE) fail(shared, std::string("PipeWire: ") + (message ? message : "error"));
}

// A stream's node removed from the graph: its producer (the compositor) is
// gone. The stream itself only pauses then and keeps the last frame.
void on_global_remove(void* data, uint32_t id) {
  auto* shared = static_cast<Shared*>(data);
  if (std::find(shared->nodes.begin(), shared->nodes.end(), id) != shared->nodes.end())
    fail(shared, "the screen-cast stream ended");
}

const pw_registry_events& registry_events() {
  static const pw_registry_events events = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global_remove = on_global_remove;
    return e;
  }();
  return events;
}

const pw_stream_events& stream_events() {
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = on_state_changed;
    e.param_changed = on_param_changed;
    e.process = on_process;
    return e;
  }();
  return events;
}

const pw_core_events& core_events() {
  static const pw_core_events events = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = on_core_error;
    return e;
  }();
  return events;
}

// The formats offered: 32-bit BGR or RGB orders, any size and rate.
const spa_pod* enum_format(spa_pod_builder* b) {
  spa_pod_frame object, choice;
  spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_prop(b, SPA_FORMAT_mediaType, 0);
  spa_pod_builder_id(b, SPA_MEDIA_TYPE_video);
  spa_pod_builder_prop(b, SPA_FORMAT_mediaSubtype, 0);
  spa_pod_builder_id(b, SPA_MEDIA_SUBTYPE_raw);
  spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Enum, 0);
  for (const std::uint32_t format : {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                     SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA})
    spa_pod_builder_id(b, format);
  spa_pod_builder_pop(b, &choice);
  spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_size, 0);
  spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_rectangle(b, 1280, 800);
  spa_pod_builder_rectangle(b, 1, 1);
  spa_pod_builder_rectangle(b, 16384, 16384);
  spa_pod_builder_pop(b, &choice);
  spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_framerate, 0);
  spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_fraction(b, 30, 1);
  spa_pod_builder_fraction(b, 0, 1);
  spa_pod_builder_fraction(b, 1000, 1);
  spa_pod_builder_pop(b, &choice);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

class Capture final : public PipeWireCapture {
 public:
  ~Capture() override {
    if (loop_ != nullptr) pw_thread_loop_stop(loop_);
    for (auto& s : streams_) {
      if (s->stream != nullptr) {
        spa_hook_remove(&s->listener);
        pw_stream_destroy(s->stream);
      }
    }
    if (registry_ != nullptr) {
      spa_hook_remove(&registry_listener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    if (core_ != nullptr) {
      spa_hook_remove(&core_listener_);
      pw_core_disconnect(core_);
    }
    if (context_ != nullptr) pw_context_destroy(context_);
    if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
  }

  Done start(int fd, const std::vector<std::uint32_t>& nodes) {
    loop_ = pw_thread_loop_new("pelagon2-cast", nullptr);
    if (loop_ == nullptr) {
      if (fd >= 0) ::close(fd);
      return make_error("cannot create a PipeWire loop");
    }
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (context_ == nullptr) {
      if (fd >= 0) ::close(fd);
      return make_error("cannot create a PipeWire context");
    }
    if (pw_thread_loop_start(loop_) < 0) {
      if (fd >= 0) ::close(fd);
      return make_error("cannot start the PipeWire loop");
    }
    pw_thread_loop_lock(loop_);
    core_ = fd >= 0 ? pw_context_connect_fd(context_, fd, nullptr, 0) : pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) {
      pw_thread_loop_unlock(loop_);
      return make_error(std::string("cannot connect to PipeWire: ") + std::strerror(errno));
    }
    pw_core_add_listener(core_, &core_listener_, &core_events(), &shared_);
    shared_.nodes = nodes;
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_ != nullptr) pw_registry_add_listener(registry_, &registry_listener_, &registry_events(), &shared_);
    for (const std::uint32_t node : nodes) {
      auto s = std::make_unique<Stream>();
      s->shared = &shared_;
      s->node = node;
      s->stream = pw_stream_new(core_, "pelagon2 screen",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                  PW_KEY_MEDIA_ROLE, "Screen", nullptr));
      if (s->stream == nullptr) {
        pw_thread_loop_unlock(loop_);
        return make_error("cannot create a PipeWire stream");
      }
      pw_stream_add_listener(s->stream, &s->listener, &stream_events(), s.get());
      std::uint8_t buffer[1024];
      spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
      const spa_pod* params[] = {enum_format(&b)};
      const int r = pw_stream_connect(
          s->stream, PW_DIRECTION_INPUT, node,
          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
      streams_.push_back(std::move(s));
      if (r < 0) {
        pw_thread_loop_unlock(loop_);
        return make_error(std::string("cannot connect the screen-cast stream: ") + std::strerror(-r));
      }
    }
    pw_thread_loop_unlock(loop_);
    return std::monostate{};
  }

  bool alive() override {
    std::lock_guard lock(shared_.mutex);
    return !shared_.failed;
  }
  std::string failure() override {
    std::lock_guard lock(shared_.mutex);
    return shared_.failure;
  }
  std::int64_t newest(std::uint32_t node) override {
    std::lock_guard lock(shared_.mutex);
    const Stream* s = find(node);
    return s != nullptr ? s->frame.arrived_ns : 0;
  }
  std::int64_t wait_newer(std::uint32_t node, std::int64_t after, std::int64_t until) override {
    std::unique_lock lock(shared_.mutex);
    const Stream* s = find(node);
    if (s == nullptr) return 0;
    while (s->frame.arrived_ns <= after && !shared_.failed) {
      const std::int64_t left = until - steady_ns();
      if (left <= 0) break;
      shared_.changed.wait_for(lock, std::chrono::nanoseconds(left));
    }
    return s->frame.arrived_ns;
  }
  std::optional<std::pair<std::uint32_t, std::uint32_t>> frame_size(std::uint32_t node) override {
    std::lock_guard lock(shared_.mutex);
    const Stream* s = find(node);
    if (s == nullptr || s->frame.arrived_ns == 0) return std::nullopt;
    return std::pair{s->frame.width, s->frame.height};
  }
  bool copy(std::uint32_t node, Frame& out) override {
    std::lock_guard lock(shared_.mutex);
    const Stream* s = find(node);
    if (s == nullptr || s->frame.arrived_ns == 0) return false;
    out.width = s->frame.width;
    out.height = s->frame.height;
    out.stride = s->frame.stride;
    out.order = s->frame.order;
    out.arrived_ns = s->frame.arrived_ns;
    out.bytes.assign(s->frame.bytes.begin(), s->frame.bytes.end());
    return true;
  }

 private:
  const Stream* find(std::uint32_t node) const {
    for (const auto& s : streams_)
      if (s->node == node) return s.get();
    return nullptr;
  }

  Shared shared_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  spa_hook core_listener_{};
  pw_registry* registry_ = nullptr;
  spa_hook registry_listener_{};
  std::vector<std::unique_ptr<Stream>> streams_;
};

}  // namespace

Expected<std::unique_ptr<PipeWireCapture>> PipeWireCapture::open(int fd, const std::vector<std::uint32_t>& nodes) {
  static const bool initialised = [] {
    pw_init(nullptr, nullptr);
    // The host writes nothing to stderr.
    pw_log_set_level(SPA_LOG_LEVEL_NONE);
    return true;
  }();
  (void)initialised;
  auto capture = std::make_unique<Capture>();
  if (Done done = capture->start(fd, nodes); !done) return std::move(done).take_error();
  return std::unique_ptr<PipeWireCapture>(std::move(capture));
}

}  // namespace pelagon2::platform::wayland::gnome
