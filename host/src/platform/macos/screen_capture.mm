// Screen Recording checks and one frame of a display: ScreenCaptureKit's
// screenshot call from macOS 14 on; before that the window-list image, which
// current SDKs no longer declare and later systems may drop, so it is looked up
// at run time and the binary still loads where it is gone.

#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>
#include <CoreGraphics/CoreGraphics.h>
#include <CoreVideo/CoreVideo.h>
#include <dlfcn.h>

#include <memory>
#include <string>

#include "platform/macos/apple_refs.h"
#include "platform/macos/completion_handoff.h"
#include "platform/macos/macos_model.h"
#include "platform/macos/macos_services.h"

namespace pelagon2::platform::macos {
namespace {

static_assert(kPixelFormatBgra == kCVPixelFormatType_32BGRA);
static_assert(kAlphaPremultipliedFirst == kCGImageAlphaPremultipliedFirst);
static_assert(kAlphaFirst == kCGImageAlphaFirst);
static_assert(kAlphaNoneSkipFirst == kCGImageAlphaNoneSkipFirst);
static_assert(kByteOrder32Little == kCGImageByteOrder32Little);

using ImageOwner = CfOwner<CGImageRef>;

DisplayMode current_mode(CGDirectDisplayID display) {
  const CGRect bounds = CGDisplayBounds(display);
  DisplayMode mode;
  mode.width_points = bounds.size.width;
  mode.height_points = bounds.size.height;
  if (CGDisplayModeRef current = CGDisplayCopyDisplayMode(display)) {
    mode.pixel_width = CGDisplayModeGetPixelWidth(current);
    mode.pixel_height = CGDisplayModeGetPixelHeight(current);
    CFRelease(current);
  }
  return mode;
}

// Both answers arrive on a queue of the system's choosing; this thread waits.
API_AVAILABLE(macos(14.0))
ImageOwner screenshot(CGDirectDisplayID display, const CaptureSize& size) {
  const auto content_handoff = std::make_shared<CompletionHandoff<ObjcOwner<SCShareableContent>>>();
  [SCShareableContent getShareableContentExcludingDesktopWindows:NO
                                             onScreenWindowsOnly:YES
                                               completionHandler:^(SCShareableContent* content, NSError*) {
                                                 content_handoff->deliver(
                                                     ObjcOwner<SCShareableContent>([content retain]));
                                               }];
  const std::optional<ObjcOwner<SCShareableContent>> content = content_handoff->wait_for(kCompletionTimeout);
  if (!content || !*content) return {};
  SCDisplay* target = nil;
  for (SCDisplay* candidate in [content->get() displays]) {
    if ([candidate displayID] == display) {
      target = candidate;
      break;
    }
  }
  // The display went away since it was listed.
  if (target == nil) return {};

  SCContentFilter* filter = [[[SCContentFilter alloc] initWithDisplay:target
                                                     excludingWindows:[NSArray array]] autorelease];
  SCStreamConfiguration* configuration = [[[SCStreamConfiguration alloc] init] autorelease];
  configuration.width = size.width;
  configuration.height = size.height;
  configuration.pixelFormat = kPixelFormatBgra;
  configuration.showsCursor = NO;
  const auto image_handoff = std::make_shared<CompletionHandoff<ImageOwner>>();
  [SCScreenshotManager captureImageWithFilter:filter
                                configuration:configuration
                            completionHandler:^(CGImageRef image, NSError*) {
                              image_handoff->deliver(ImageOwner(CGImageRetain(image)));
                            }];
  std::optional<ImageOwner> image = image_handoff->wait_for(kCompletionTimeout);
  return image ? std::move(*image) : ImageOwner();
}

ImageOwner window_list_image(CGDirectDisplayID display) {
  using CreateImage = CGImageRef (*)(CGRect, CGWindowListOption, CGWindowID, CGWindowImageOption);
  void* symbol = dlsym(RTLD_DEFAULT, "CGWindowListCreateImage");
  if (symbol == nullptr) return {};
  const auto create = reinterpret_cast<CreateImage>(symbol);
  return ImageOwner(create(CGDisplayBounds(display), kCGWindowListOptionAll, kCGNullWindowID, kCGWindowImageDefault));
}

ImageOwner display_image(CGDirectDisplayID display) {
  if (@available(macOS 14.0, *)) {
    const std::optional<CaptureSize> size = capture_pixel_size(current_mode(display));
    if (!size) return {};
    return screenshot(display, *size);
  }
  return window_list_image(display);
}

class MacScreenCapture final : public ScreenCapture {
 public:
  bool preflight_access() override { return CGPreflightScreenCaptureAccess(); }
  bool request_access() override { return CGRequestScreenCaptureAccess(); }

  Expected<RawCapture> capture(const DisplayRecord& display) override {
    @autoreleasepool {
      const ImageOwner image = display_image(display.id);
      if (!image) return make_error(std::string(kNoImageError));
      return pixels_of(image.get());
    }
  }

 private:
  Expected<RawCapture> pixels_of(CGImageRef image) {
    const std::optional<PixelOrder> order = pixel_order_of(CGImageGetBitsPerPixel(image), CGImageGetBitmapInfo(image));
    if (!order) return make_error(std::string(kNoImageError));
    const ImageLayout layout{CGImageGetWidth(image), CGImageGetHeight(image), CGImageGetBytesPerRow(image), *order};
    CGDataProviderRef provider = CGImageGetDataProvider(image);
    const CfOwner<CFDataRef> data(provider != nullptr ? CGDataProviderCopyData(provider) : nullptr);
    std::span<const std::uint8_t> bytes;
    if (data && CFDataGetLength(data.get()) > 0) {
      bytes = {CFDataGetBytePtr(data.get()), static_cast<std::size_t>(CFDataGetLength(data.get()))};
    }
    return keep_capture(buffer_, bytes, layout);
  }

  // Reused from one capture to the next; what capture() returns points here.
  std::vector<std::uint8_t> buffer_;
};

}  // namespace

std::unique_ptr<ScreenCapture> make_screen_capture() { return std::make_unique<MacScreenCapture>(); }

}  // namespace pelagon2::platform::macos
