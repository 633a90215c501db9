#include "platform/wayland/wlr_connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/deadline.h"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-screencopy-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"
#include "xdg-output-unstable-v1-client.h"

namespace pelagon2::platform::wayland::wlr {
namespace {

// ---- listeners ----

void on_global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
  static_cast<Connection*>(data)->global_added(registry, name, interface, version);
}
void on_global_remove(void* data, wl_registry*, std::uint32_t name) {
  static_cast<Connection*>(data)->global_removed(name);
}
const wl_registry_listener kRegistryListener = {on_global, on_global_remove};

void output_geometry(void* data, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                     const char*, const char*, std::int32_t transform) {
  static_cast<WlOutput*>(data)->transform = transform;
}
void output_mode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height, std::int32_t) {
  if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
  auto* o = static_cast<WlOutput*>(data);
  o->mode_width = width;
  o->mode_height = height;
}
void output_done(void*, wl_output*) {}
void output_scale(void* data, wl_output*, std::int32_t factor) { static_cast<WlOutput*>(data)->scale = factor; }
void output_name(void*, wl_output*, const char*) {}
void output_description(void*, wl_output*, const char*) {}
const wl_output_listener kOutputListener = {output_geometry, output_mode,  output_done,
                                            output_scale,    output_name, output_description};

void xdg_position(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
  auto* o = static_cast<WlOutput*>(data);
  o->x = x;
  o->y = y;
}
void xdg_size(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
  auto* o = static_cast<WlOutput*>(data);
  o->width = width;
  o->height = height;
  o->has_logical = true;
}
void xdg_done(void*, zxdg_output_v1*) {}
void xdg_name(void* data, zxdg_output_v1*, const char* name) { static_cast<WlOutput*>(data)->connector = name; }
void xdg_description(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener kXdgOutputListener = {xdg_position, xdg_size, xdg_done, xdg_name, xdg_description};

void sync_done(void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }
const wl_callback_listener kSyncListener = {sync_done};

template <class T>
T* bind(wl_registry* registry, std::uint32_t name, const wl_interface* interface, std::uint32_t offered,
        std::uint32_t wanted) {
  return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

}  // namespace

std::unique_ptr<Connection> Connection::open(Deadline deadline) {
  // Connecting to a Unix socket does not block; the handshake is the round trip.
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return nullptr;
  std::unique_ptr<Connection> c(new Connection());
  c->display_ = display;
  c->registry_ = wl_display_get_registry(display);
  wl_registry_add_listener(c->registry_, &kRegistryListener, c.get());
  // The globals, then the outputs' own events they asked for.
  if (!c->roundtrip(deadline) || !c->roundtrip(deadline)) return nullptr;
  return c;
}

Connection::~Connection() {
  for (auto& o : outputs_) {
    if (o->xdg) zxdg_output_v1_destroy(o->xdg);
    if (o->output) wl_output_destroy(o->output);
  }
  if (screencopy_) zwlr_screencopy_manager_v1_destroy(screencopy_);
  if (pointer_manager_) zwlr_virtual_pointer_manager_v1_destroy(pointer_manager_);
  if (keyboard_manager_) zwp_virtual_keyboard_manager_v1_destroy(keyboard_manager_);
  if (xdg_manager_) zxdg_output_manager_v1_destroy(xdg_manager_);
  if (seat_) wl_seat_destroy(seat_);
  if (shm_) wl_shm_destroy(shm_);
  if (registry_) wl_registry_destroy(registry_);
  if (display_) wl_display_disconnect(display_);
}

void Connection::global_added(wl_registry* registry, std::uint32_t name, const char* interface,
                              std::uint32_t version) {
  const std::string_view i(interface);
  if (i == wl_output_interface.name) {
    auto o = std::make_unique<WlOutput>();
    o->name = name;
    o->output = bind<wl_output>(registry, name, &wl_output_interface, version, 3);
    wl_output_add_listener(o->output, &kOutputListener, o.get());
    outputs_.push_back(std::move(o));
    watch_output(*outputs_.back());
  } else if (i == zxdg_output_manager_v1_interface.name) {
    xdg_manager_ = bind<zxdg_output_manager_v1>(registry, name, &zxdg_output_manager_v1_interface, version, 3);
    for (auto& o : outputs_) watch_output(*o);
  } else if (i == wl_shm_interface.name && !shm_) {
    shm_ = bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
  } else if (i == wl_seat_interface.name && !seat_) {
    seat_ = bind<wl_seat>(registry, name, &wl_seat_interface, version, 1);
  } else if (i == zwlr_screencopy_manager_v1_interface.name) {
    screencopy_ = bind<zwlr_screencopy_manager_v1>(registry, name, &zwlr_screencopy_manager_v1_interface, version, 3);
  } else if (i == zwlr_virtual_pointer_manager_v1_interface.name) {
    pointer_manager_ =
        bind<zwlr_virtual_pointer_manager_v1>(registry, name, &zwlr_virtual_pointer_manager_v1_interface, version, 2);
  } else if (i == zwp_virtual_keyboard_manager_v1_interface.name) {
    keyboard_manager_ =
        bind<zwp_virtual_keyboard_manager_v1>(registry, name, &zwp_virtual_keyboard_manager_v1_interface, version, 1);
  }
}

void Connection::watch_output(WlOutput& output) {
  if (!xdg_manager_ || output.xdg) return;
  output.xdg = zxdg_output_manager_v1_get_xdg_output(xdg_manager_, output.output);
  zxdg_output_v1_add_listener(output.xdg, &kXdgOutputListener, &output);
}

void Connection::global_removed(std::uint32_t name) {
  const auto it = std::find_if(outputs_.begin(), outputs_.end(), [&](const auto& o) { return o->name == name; });
  if (it == outputs_.end()) return;
  if ((*it)->xdg) zxdg_output_v1_destroy((*it)->xdg);
  wl_output_destroy((*it)->output);
  outputs_.erase(it);
}

bool Connection::alive() { return !dead_ && wl_display_get_error(display_) == 0; }

bool Connection::flush() {
  if (!alive()) return false;
  if (wl_display_flush(display_) < 0 && errno != EAGAIN) mark_dead();
  return alive();
}

bool Connection::dispatch_until(const std::function<bool()>& done, Deadline deadline, bool may_wait_out) {
  while (true) {
    if (!alive()) return false;
    if (wl_display_dispatch_pending(display_) < 0) {
      mark_dead();
      return false;
    }
    if (done()) return true;
    if (wl_display_prepare_read(display_) != 0) continue;
    bool out_pending = false;
    if (wl_display_flush(display_) < 0) {
      if (errno != EAGAIN) {
        wl_display_cancel_read(display_);
        mark_dead();
        return false;
      }
      out_pending = true;
    }
    pollfd p{wl_display_get_fd(display_), static_cast<short>(POLLIN | (out_pending ? POLLOUT : 0)), 0};
    int r = 0;
    do {
      r = ::poll(&p, 1, milliseconds_until(deadline));
    } while (r < 0 && errno == EINTR);
    if (r <= 0) {
      wl_display_cancel_read(display_);
      // A compositor that misses the deadline is treated as gone.
      if (r < 0 || !may_wait_out) mark_dead();
      return false;
    }
    if ((p.revents & POLLIN) == 0) {
      wl_display_cancel_read(display_);
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        mark_dead();
        return false;
      }
      continue;
    }
    if (wl_display_read_events(display_) < 0) {
      mark_dead();
      return false;
    }
  }
}

bool Connection::roundtrip(Deadline deadline) {
  if (!alive()) return false;
  bool done = false;
  wl_callback* callback = wl_display_sync(display_);
  wl_callback_add_listener(callback, &kSyncListener, &done);
  const bool reached = dispatch_until([&] { return done; }, deadline);
  wl_callback_destroy(callback);
  return reached;
}

std::vector<Output> Connection::outputs() const {
  std::vector<Output> out;
  for (const auto& o : outputs_) {
    if (o->mode_width <= 0 || o->mode_height <= 0) continue;
    Output r;
    r.id = o->name;
    r.name = o->connector;
    // A quarter turn swaps the output's pixel rows and columns.
    const bool turned = (o->transform & 1) != 0;
    r.pixel_width = static_cast<std::uint32_t>(turned ? o->mode_height : o->mode_width);
    r.pixel_height = static_cast<std::uint32_t>(turned ? o->mode_width : o->mode_height);
    if (o->has_logical) {
      r.x = o->x, r.y = o->y, r.width = o->width, r.height = o->height;
    } else {
      const double scale = std::max(o->scale, 1);
      r.width = r.pixel_width / scale, r.height = r.pixel_height / scale;
    }
    out.push_back(std::move(r));
  }
  return out;
}

wl_output* Connection::output_by_id(std::uint32_t id) const {
  for (const auto& o : outputs_) {
    if (o->name == id) return o->output;
  }
  return nullptr;
}

void Connection::take_pending() {
  if (!alive()) return;
  if (wl_display_prepare_read(display_) != 0) {
    if (wl_display_dispatch_pending(display_) < 0) mark_dead();
    return;
  }
  pollfd p{wl_display_get_fd(display_), POLLIN, 0};
  const int r = ::poll(&p, 1, 0);
  if (r <= 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
    wl_display_cancel_read(display_);
    return;
  }
  // A compositor that went away leaves the socket readable at its end.
  if (wl_display_read_events(display_) < 0 || wl_display_dispatch_pending(display_) < 0) mark_dead();
}

Connection* Session::connection() {
  fresh_ = false;
  if (connection_) connection_->take_pending();
  if (connection_ && !connection_->alive()) reset();
  if (!connection_) {
    connection_ = Connection::open(deadline_from_now());
    if (connection_ && !connection_->complete()) connection_.reset();
    fresh_ = connection_ != nullptr;
  }
  return connection_.get();
}

void Session::reset() {
  for (const auto& f : on_reset) f();
  connection_.reset();
}

Session& session() {
  static Session s;
  return s;
}

}  // namespace pelagon2::platform::wayland::wlr
