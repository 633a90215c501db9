#pragma once
// The wlroots route's one connection to the compositor on $WAYLAND_DISPLAY:
// opened on first use, kept for the host's lifetime, opened again on the next
// use after the compositor went away. Every wait is a poll() on the display's
// socket against a deadline; a compositor that misses one is dropped like a
// dead one, so no request waits much longer than the deadline.

#include <wayland-client.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/wayland/wayland_model.h"

struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;

namespace pelagon2::platform::wayland::wlr {

// How long one wait for the compositor may take: as X11's server deadline. A
// healthy compositor answers a round trip in well under a millisecond and
// copies a screen in tens; two seconds leave room for a loaded machine while
// a request on a stopped compositor fails before the extension gives up.
inline constexpr std::chrono::milliseconds kCompositorDeadline{2000};

using Deadline = std::chrono::steady_clock::time_point;
inline Deadline deadline_from_now() { return std::chrono::steady_clock::now() + kCompositorDeadline; }

struct WlOutput {
  std::uint32_t name = 0;  // the registry's name: stable while the output exists
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  std::int32_t mode_width = 0, mode_height = 0;
  std::int32_t transform = 0;
  std::int32_t scale = 1;
  std::int32_t x = 0, y = 0, width = 0, height = 0;  // logical, from xdg-output
  bool has_logical = false;
  std::string connector;
};

class Connection {
 public:
  // nullptr when no compositor answers on $WAYLAND_DISPLAY within the deadline.
  static std::unique_ptr<Connection> open(Deadline deadline);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // False once the socket broke, the compositor sent an error or missed a deadline.
  bool alive();
  // Dispatches events until `done()` or the deadline; false when it was not
  // reached. Missing the deadline drops the connection unless `may_wait_out`
  // (a wait for something that may never come, such as a frame's damage).
  bool dispatch_until(const std::function<bool()>& done, Deadline deadline, bool may_wait_out = false);
  bool roundtrip(Deadline deadline);
  // Reads what the compositor sent meanwhile, without waiting: notices a
  // compositor that went away.
  void take_pending();
  // Sends what is queued; false when the connection broke.
  bool flush();

  wl_display* display() const { return display_; }
  wl_shm* shm() const { return shm_; }
  wl_seat* seat() const { return seat_; }
  zwlr_screencopy_manager_v1* screencopy() const { return screencopy_; }
  zwlr_virtual_pointer_manager_v1* pointer_manager() const { return pointer_manager_; }
  zwp_virtual_keyboard_manager_v1* keyboard_manager() const { return keyboard_manager_; }
  bool complete() const { return screencopy_ && pointer_manager_ && keyboard_manager_ && shm_ && seat_; }

  const std::vector<std::unique_ptr<WlOutput>>& wl_outputs() const { return outputs_; }
  // The outputs in the compositor's order as records, logical where xdg-output told.
  std::vector<Output> outputs() const;
  wl_output* output_by_id(std::uint32_t id) const;

  // Handlers for the listeners (public for the C callbacks).
  void global_added(wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version);
  void global_removed(std::uint32_t name);
  void watch_output(WlOutput& output);

 private:
  Connection() = default;
  void mark_dead() { dead_ = true; }

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_shm* shm_ = nullptr;
  wl_seat* seat_ = nullptr;
  zwlr_screencopy_manager_v1* screencopy_ = nullptr;
  zwlr_virtual_pointer_manager_v1* pointer_manager_ = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboard_manager_ = nullptr;
  zxdg_output_manager_v1* xdg_manager_ = nullptr;
  std::vector<std::unique_ptr<WlOutput>> outputs_;
  bool dead_ = false;
};

// The connection every service of the route shares, with what lives on it.
class Session {
 public:
  // The live connection, opened (again) when there is none or the last one
  // died; nullptr when the compositor cannot be reached now.
  Connection* connection();
  // Drops the connection and everything made on it.
  void reset();
  // Whether the connection was opened anew by the last connection() call.
  bool fresh() const { return fresh_; }

  // When input was last posted, and when the screen was last copied: a copy
  // after input waits for the clients' next frame (see WlrCapture).
  std::chrono::steady_clock::time_point input_posted{};
  std::chrono::steady_clock::time_point copied{};

  // Called when a connection is dropped, before it is destroyed, by those
  // that keep objects on it.
  std::vector<std::function<void()>> on_reset;

 private:
  std::unique_ptr<Connection> connection_;
  bool fresh_ = false;
};

Session& session();

}  // namespace pelagon2::platform::wayland::wlr
