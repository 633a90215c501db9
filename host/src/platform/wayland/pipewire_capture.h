#pragma once
// Frames of screen-cast streams from PipeWire: one connection (its own
// thread loop) with one stream per monitor, each keeping a copy of its newest
// frame. Streams stay connected for the host's lifetime, since frames come
// only on damage: a stream connected at capture time would have nothing to
// show until the screen changes.

#include <optional>
#include <utility>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/outcome.h"
#include "platform/platform.h"

namespace pelagon2::platform::wayland::gnome {

// One frame as copied out: rows top to bottom, `stride` bytes each, blue,
// green, red, then alpha or an undefined byte.
struct Frame {
  std::vector<std::uint8_t> bytes;
  std::uint32_t width = 0, height = 0;
  std::size_t stride = 0;
  PixelOrder order = PixelOrder::bgrx;
  std::int64_t arrived_ns = 0;  // steady clock
};

class PipeWireCapture {
 public:
  // Connects to PipeWire through `fd` (taken over) or, with -1, to the user's
  // daemon, and connects one stream per node. Fails with PipeWire's words.
  static Expected<std::unique_ptr<PipeWireCapture>> open(int fd, const std::vector<std::uint32_t>& nodes);
  virtual ~PipeWireCapture() = default;

  // False once the connection or a stream failed (PipeWire went away, the
  // compositor ended the stream).
  virtual bool alive() = 0;
  virtual std::string failure() = 0;
  // Arrival time of `node`'s newest frame (0: none yet).
  virtual std::int64_t newest(std::uint32_t node) = 0;
  // Waits until a frame newer than `after` arrives on `node`, or `until`
  // (steady ns) passes; the newest arrival time.
  virtual std::int64_t wait_newer(std::uint32_t node, std::int64_t after, std::int64_t until) = 0;
  // The pixel size of `node`'s newest frame (none before the first).
  virtual std::optional<std::pair<std::uint32_t, std::uint32_t>> frame_size(std::uint32_t node) = 0;
  // Copies the newest frame of `node` into `out` (false: none yet).
  virtual bool copy(std::uint32_t node, Frame& out) = 0;
};

std::int64_t steady_ns();

}  // namespace pelagon2::platform::wayland::gnome
