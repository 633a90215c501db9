#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/x11/xlib_connection.h"
#include "platform/x11/x11_screen.h"
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
  void keep(int segment_id, char* address) {
    const char* name = std::getenv("DISPLAY");
    const std::string display_name = name != nullptr ? name : "";
    // A lost or replaced server, another DISPLAY or another segment: start over.
    if (holder_ && (display_name != display_name_ || segment_id != segment_id_ || holder_->sync_failed())) {
      holder_.reset();
    }
    if (holder_) return;
    holder_ = XConnection::open();
    if (!holder_) return;
    XShmSegmentInfo info{};
    info.shmid = segment_id;
    info.shmaddr = address;
    info.readOnly = False;
    holder_->clear_error();
    if (!XShmAttach(holder_->display(), &info) || holder_->sync_failed()) {
      holder_.reset();
      return;
    }
    display_name_ = display_name;
    segment_id_ = segment_id;
  }

  void drop() { holder_.reset(); }

 private:
  std::unique_ptr<XConnection> holder_;
  std::string display_name_;
  int segment_id_ = -1;
};

PixelLayout layout_of(const XImage& image) {
  PixelLayout layout;
  layout.bits_per_pixel = image.bits_per_pixel;
  layout.msb_first = image.byte_order == MSBFirst;
  layout.red_mask = static_cast<std::uint32_t>(image.red_mask);
  layout.green_mask = static_cast<std::uint32_t>(image.green_mask);
  layout.blue_mask = static_cast<std::uint32_t>(image.blue_mask);
  return layout;
}

struct ImageDeleter {
  void operator()(XImage* image) const {
    if (image != nullptr) XDestroyImage(image);
  }
};
using ImagePtr = std::unique_ptr<XImage, ImageDeleter>;

// A shared-memory image describes pixels and segment data that belong to us
// (the segment, a stack record): only the structure itself is freed.
struct SharedImageDeleter {
  void operator()(XImage* image) const {
    if (image == nullptr) return;
    image->data = nullptr;
    image->obdata = nullptr;
    XDestroyImage(image);
  }
};
using SharedImagePtr = std::unique_ptr<XImage, SharedImageDeleter>;

class X11ScreenCapture final : public ScreenCapture {
 public:
  // X11 has no capture permission. Without a server, preflight says no, and
  // the request (which prompts nobody) lets the capture go on to report that
  // there is no monitor.
  bool preflight_access() override { return XConnection::open() != nullptr; }
  bool request_access() override { return true; }

  Expected<RawCapture> capture(const DisplayRecord& display) override {
    const std::unique_ptr<XConnection> connection = XConnection::open();
    if (!connection) return make_error("cannot open the X display");
    Display* x = connection->display();
    const int screen = DefaultScreen(x);
    const PixelRect wanted = display_pixels(display);
    if (wanted.empty()) return make_error("the display has no pixels");
    const PixelRect root{0, 0, DisplayWidth(x, screen), DisplayHeight(x, screen)};
    const PixelRect area = intersect(wanted, root);
    if (area.empty()) return make_error("the display lies outside the X screen");
    const auto width = static_cast<std::uint32_t>(area.width);
    const auto height = static_cast<std::uint32_t>(area.height);

    // Shared memory first; a remote server cannot attach the segment.
    if (XShmQueryExtension(x)) {
      XShmSegmentInfo info{};
      SharedImagePtr image(XShmCreateImage(x, DefaultVisual(x, screen), static_cast<unsigned>(DefaultDepth(x, screen)),
                                     ZPixmap, nullptr, &info, width, height));
      if (image && image->bytes_per_line > 0 &&
          segment_.ensure(static_cast<std::size_t>(image->bytes_per_line) * height)) {
        warm_.keep(segment_.id(), segment_.address());
        info.shmid = segment_.id();
        info.shmaddr = image->data = segment_.address();
        info.readOnly = False;
        connection->clear_error();
        if (XShmAttach(x, &info) && !connection->sync_failed()) {
          const bool got = XShmGetImage(x, connection->root(), image.get(), static_cast<int>(area.x),
                                        static_cast<int>(area.y), AllPlanes) &&
                           !connection->sync_failed();
          XShmDetach(x, &info);
          if (got) return deliver(*image, reinterpret_cast<std::uint8_t*>(segment_.address()), wanted, area);
        }
      }
      if (!connection->alive()) return make_error(kLost);
    }

    connection->clear_error();
    const ImagePtr image(XGetImage(x, connection->root(), static_cast<int>(area.x), static_cast<int>(area.y), width,
                                   height, AllPlanes, ZPixmap));
    if (!connection->alive()) return make_error(kLost);
    if (!image || connection->sync_failed()) return make_error("XGetImage failed");
    return deliver(*image, reinterpret_cast<std::uint8_t*>(image->data), wanted, area);
  }

 private:
  // The image as bgrx rows covering `wanted`; pixels of it outside the screen
  // (`area` is the part on it) are black. Shared-memory pixels already in
  // bgrx order are handed out in place.
  Expected<RawCapture> deliver(const XImage& image, const std::uint8_t* pixels, const PixelRect& wanted,
                               const PixelRect& area) {
    const PixelLayout layout = layout_of(image);
    if (!is_convertible(layout)) {
      return make_error("unsupported pixel format: " + std::to_string(image.bits_per_pixel) + " bits per pixel");
    }
    const auto stride = static_cast<std::size_t>(image.bytes_per_line);
    RawCapture raw;
    raw.width = static_cast<std::uint32_t>(wanted.width);
    raw.height = static_cast<std::uint32_t>(wanted.height);
    raw.order = PixelOrder::bgrx;
    const bool in_segment = pixels == reinterpret_cast<const std::uint8_t*>(segment_.address());
    if (in_segment && area == wanted && is_bgrx(layout)) {
      raw.bytes_per_row = stride;
      raw.bytes = std::span<const std::uint8_t>(pixels, stride * raw.height);
      return raw;
    }
    raw.bytes_per_row = std::size_t{raw.width} * 4;
    // Reused from capture to capture; only the part outside the screen needs clearing.
    staging_.resize(raw.bytes_per_row * raw.height);
    if (!(area == wanted)) std::memset(staging_.data(), 0, staging_.size());
    std::uint8_t* origin = staging_.data() + static_cast<std::size_t>(area.y - wanted.y) * raw.bytes_per_row +
                           static_cast<std::size_t>(area.x - wanted.x) * 4;
    convert_to_bgrx(pixels, stride, static_cast<std::uint32_t>(area.width), static_cast<std::uint32_t>(area.height),
                    layout, origin, raw.bytes_per_row);
    raw.bytes = staging_;
    return raw;
  }

  // Destroyed before the segment: the server lets go of it first.
  SharedSegment segment_;
  WarmAttachment warm_;
  std::vector<std::uint8_t> staging_;
};

}  // namespace

std::unique_ptr<ScreenCapture> make_screen_capture() { return std::make_unique<X11ScreenCapture>(); }

}  // namespace pelagon2::platform::x11
