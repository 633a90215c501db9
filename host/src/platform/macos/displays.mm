// Displays from CoreGraphics; screen names and the main screen's scale from AppKit.

#import <AppKit/AppKit.h>
#include <CoreGraphics/CoreGraphics.h>
#include <pthread.h>

#include <algorithm>
#include <array>

#include "platform/macos/macos_model.h"
#include "platform/macos/macos_services.h"

namespace pelagon2::platform::macos {
namespace {

std::uint64_t mode_pixel_width(CGDirectDisplayID display) {
  CGDisplayModeRef mode = CGDisplayCopyDisplayMode(display);
  if (mode == nullptr) return 0;
  const std::size_t width = CGDisplayModeGetPixelWidth(mode);
  CFRelease(mode);
  return width;
}

class MacDisplays final : public Displays {
 public:
  Expected<std::vector<DisplayRecord>> active_displays() override {
    std::array<CGDirectDisplayID, kMaxActiveDisplays> ids{};
    std::uint32_t count = 0;
    const CGError error = CGGetActiveDisplayList(kMaxActiveDisplays, ids.data(), &count);
    if (error != kCGErrorSuccess) return display_list_error(static_cast<std::int32_t>(error));
    std::vector<DisplayRecord> displays;
    for (std::uint32_t i = 0; i < std::min(count, kMaxActiveDisplays); ++i) {
      const CGRect bounds = CGDisplayBounds(ids[i]);
      DisplayRecord record;
      record.id = ids[i];
      record.x = bounds.origin.x;
      record.y = bounds.origin.y;
      record.width = bounds.size.width;
      record.height = bounds.size.height;
      record.mode_pixel_width = mode_pixel_width(ids[i]);
      record.is_main = CGDisplayIsMain(ids[i]) != 0;
      displays.push_back(record);
    }
    return displays;
  }

  std::vector<ScreenRecord> screens() override {
    std::vector<ScreenRecord> records;
    @autoreleasepool {
      NSString* number_key = [NSString stringWithUTF8String:kScreenNumberKey];
      for (NSScreen* screen in [NSScreen screens]) {
        ScreenRecord record;
        id number = [[screen deviceDescription] objectForKey:number_key];
        if ([number isKindOfClass:[NSNumber class]]) record.number = [(NSNumber*)number unsignedIntValue];
        if (const char* name = [[screen localizedName] UTF8String]) record.name = name;
        records.push_back(std::move(record));
      }
    }
    return records;
  }

  std::optional<double> main_screen_scale() override {
    // AppKit answers only on the main thread.
    if (pthread_main_np() != 1) return std::nullopt;
    @autoreleasepool {
      NSScreen* main = [NSScreen mainScreen];
      if (main == nil) return std::nullopt;
      return static_cast<double>([main backingScaleFactor]);
    }
  }
};

}  // namespace

std::unique_ptr<Displays> make_displays() { return std::make_unique<MacDisplays>(); }

}  // namespace pelagon2::platform::macos
