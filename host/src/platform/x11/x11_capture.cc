#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_screen_model.h"

namespace pelagon2::platform::x11 {
namespace {

constexpr const char* kLost = "the X display connection was lost";

// A System V shared-memory segment the server writes captures into. Kept from
// one capture to the next: a fresh one costs a page fault per 4 KiB on first
// touch, many times the copy itself.
class SharedSegment {
 public:
  SharedSegment() = default;
  ~SharedSegment() { release(); }
  SharedSegment(const SharedSegment&) = delete;
  SharedSegment& operator=(const SharedSegment&) = delete;

  bool ensure(std::size_t size) {
    if (address_ != nullptr && size_ >= size) return true;
    release();
    // Whole 2 MiB steps, so a slightly larger display does not mean a new segment.
    constexpr std::size_t kStep = std::size_t{2} << 20;
    const std::size_t rounded = (size + kStep - 1) / kStep * kStep;
    const int id = shmget(IPC_PRIVATE, rounded, IPC_CREAT | 0600);
    if (id < 0) return false;
    void* address = shmat(id, nullptr, 0);
    // Marked for removal at once: it lives while attached and cannot outlive
    // the host, however the host ends. The server may still attach it.
    shmctl(id, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1)) return false;
    id_ = id;
    address_ = static_cast<char*>(address);
    size_ = rounded;
    return true;
  }

  int id() const { return id_; }
  char* address() const { return address_; }

 private:
  void release() {
    if (address_ != nullptr) shmdt(address_);
    address_ = nullptr;
    size_ = 0;
    id_ = -1;
  }

  int id_ = -1;
  char* address_ = nullptr;
  std::size_t size_ = 0;
};

// Keeps the segment attached on the server through a connection of its own.
// The server maps a segment once however many clients attach it, and a fresh
// mapping makes it fault in every page on the next capture (tens of ms for a
// large screen); with this attachment alive, the per-request connections find
// the mapping warm. It holds memory only: every capture still opens its own
// connection and reads the screen afresh.
class WarmAttachment {
 public:
  void keep(int segment_id) {
    const char* name = std::getenv("DISPLAY");
    const std::string display_name = name != nullptr ? name : "";
    // A lost or replaced server, another DISPLAY or another segment: start over.
    if (holder_ && (display_name != display_name_ || segment_id != segment_id_ || holder_->sync_failed())) {
      holder_.reset();
    }
    if (holder_) return;
    holder_ = XConnection::open();
    if (!holder_) return;
    if (holder_->extension(xcb_shm_id) == nullptr) {
      holder_.reset();
      return;
    }
    holder_->clear_error();
    xcb_shm_attach(holder_->get(), xcb_generate_id(holder_->get()), static_cast<std::uint32_t>(segment_id), 0);
    if (holder_->sync_failed()) {
      holder_.reset();
      return;
    }
    display_name_ = display_name;
    segment_id_ = segment_id;
  }

 private:
  std::unique_ptr<XConnection> holder_;
  std::string display_name_;
  int segment_id_ = -1;
};

// How a ZPixmap of the root window stores its pixels, from the connection's
// setup (bits per pixel and row padding of the root depth, byte order) and
// the root visual (colour masks). Absent parts stay zero, which
// is_convertible refuses.
struct RootFormat {
  PixelLayout layout;
  int scanline_pad = 0;  // bits

  std::size_t stride(std::uint32_t width) const {
    const auto pad = static_cast<std::size_t>(scanline_pad);
    const std::size_t bits = std::size_t{width} * static_cast<std::size_t>(layout.bits_per_pixel);
    return (bits + pad - 1) / pad * pad / 8;
  }
};

RootFormat root_format(const XConnection& connection) {
  const xcb_setup_t* setup = xcb_get_setup(connection.get());
  const xcb_screen_t& screen = connection.screen();
  RootFormat format;
  format.layout = PixelLayout{0, setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST, 0, 0, 0};
  for (xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f)) {
    if (f.data->depth != screen.root_depth) continue;
    format.layout.bits_per_pixel = f.data->bits_per_pixel;
    format.scanline_pad = f.data->scanline_pad;
    break;
  }
  for (xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(&screen); d.rem > 0; xcb_depth_next(&d)) {
    for (xcb_visualtype_iterator_t v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
      if (v.data->visual_id != screen.root_visual) continue;
      format.layout.red_mask = v.data->red_mask;
      format.layout.green_mask = v.data->green_mask;
      format.layout.blue_mask = v.data->blue_mask;
      return format;
    }
  }
  return format;
}

class X11ScreenCapture final : public ScreenCapture {
 public:
  // X11 has no capture permission: whether one could capture is whether the
  // server can be reached, and there is nobody to ask for more, so the
  // request answers the same. The capture routine asks neither; a capture
  // without a server fails for want of a monitor.
  bool preflight_access() override { return XConnection::open() != nullptr; }
  bool request_access() override { return preflight_access(); }
  bool access_gated() override { return false; }

  Expected<RawCapture> capture(const DisplayRecord& display) override {
    const std::unique_ptr<XConnection> connection = XConnection::open();
    if (!connection) return make_error("cannot open the X display");
    xcb_connection_t* c = connection->get();
    const PixelRect wanted = display_pixels(display);
    if (wanted.empty()) return make_error("the display has no pixels");
    const xcb_screen_t& screen = connection->screen();
    // Only what is on the root is read; the display list is clipped the same
    // way, so this cuts only a display from before the screen shrank.
    const std::optional<PixelRect> on_root = clip_to_root(wanted, screen.width_in_pixels, screen.height_in_pixels);
    if (!on_root) return make_error("the display lies outside the X screen");
    const PixelRect area = *on_root;
    const RootFormat format = root_format(*connection);
    if (!is_convertible(format.layout) || format.scanline_pad <= 0) {
      return make_error("unsupported pixel format: " + std::to_string(format.layout.bits_per_pixel) +
                        " bits per pixel");
    }
    // Inside the root, whose size and coordinates are 16-bit.
    const auto x = static_cast<std::int16_t>(area.x);
    const auto y = static_cast<std::int16_t>(area.y);
    const auto width = static_cast<std::uint16_t>(area.width);
    const auto height = static_cast<std::uint16_t>(area.height);
    const std::size_t stride = format.stride(width);
    const std::size_t size = stride * height;
    last_image_.reset();

    // Shared memory first; a remote server cannot attach the segment, and
    // then the image request fails and the plain one follows.
    if (connection->extension(xcb_shm_id) != nullptr && segment_.ensure(size)) {
      warm_.keep(segment_.id());
      const xcb_shm_seg_t seg = xcb_generate_id(c);
      xcb_shm_attach(c, seg, static_cast<std::uint32_t>(segment_.id()), 0);
      const Reply<xcb_shm_get_image_reply_t> got = connection->reply<xcb_shm_get_image_reply_t>(
          xcb_shm_get_image(c, connection->root(), x, y, width, height, ~0U, XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0)
              .sequence);
      xcb_shm_detach(c, seg);
      connection->flush();
      if (got && got->size >= size) {
        return deliver(format.layout, reinterpret_cast<const std::uint8_t*>(segment_.address()), stride, width, height);
      }
      if (!connection->alive()) return make_error(kLost);
    }

    Reply<xcb_get_image_reply_t> image = connection->reply<xcb_get_image_reply_t>(
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, connection->root(), x, y, width, height, ~0U).sequence);
    if (!connection->alive()) return make_error(kLost);
    if (!image || static_cast<std::size_t>(xcb_get_image_data_length(image.get())) < size) {
      return make_error("XGetImage failed");
    }
    last_image_ = std::move(image);
    return deliver(format.layout, xcb_get_image_data(last_image_.get()), stride, width, height);
  }

 private:
  // The pixels as bgrx rows; those already in that order are handed out
  // where they are (the segment or the kept reply).
  Expected<RawCapture> deliver(const PixelLayout& layout, const std::uint8_t* pixels, std::size_t stride,
                               std::uint32_t width, std::uint32_t height) {
    RawCapture raw;
    raw.width = width;
    raw.height = height;
    raw.order = PixelOrder::bgrx;
    if (is_bgrx(layout)) {
      raw.bytes_per_row = stride;
      raw.bytes = std::span<const std::uint8_t>(pixels, stride * height);
      return raw;
    }
    raw.bytes_per_row = std::size_t{width} * 4;
    // Reused from capture to capture.
    staging_.resize(raw.bytes_per_row * height);
    convert_to_bgrx(pixels, stride, width, height, layout, staging_.data(), raw.bytes_per_row);
    raw.bytes = staging_;
    return raw;
  }

  // Destroyed before the segment: the server lets go of it first.
  SharedSegment segment_;
  WarmAttachment warm_;
  // The last plain image reply, whose pixels a capture may hand out.
  Reply<xcb_get_image_reply_t> last_image_;
  std::vector<std::uint8_t> staging_;
};

}  // namespace

std::unique_ptr<ScreenCapture> make_screen_capture() { return std::make_unique<X11ScreenCapture>(); }

}  // namespace pelagon2::platform::x11
