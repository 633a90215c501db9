// Browser processes from AppKit and the on-screen window list from CoreGraphics,
// read into plain records; the browser walk decides what they mean.

#import <AppKit/AppKit.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>

#include "platform/macos/apple_refs.h"
#include "platform/macos/macos_model.h"
#include "platform/macos/macos_services.h"

namespace pelagon2::platform::macos {
namespace {

static_assert(kWindowListOnScreenOnly == kCGWindowListOptionOnScreenOnly);
static_assert(kWindowListExcludeDesktopElements == kCGWindowListExcludeDesktopElements);

// A number only when it reads as a signed 64-bit integer without loss.
std::optional<std::int64_t> int64_member(CFDictionaryRef entry, CFStringRef key) {
  const void* value = CFDictionaryGetValue(entry, key);
  if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) return std::nullopt;
  std::int64_t number = 0;
  if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number)) return std::nullopt;
  return number;
}

WindowRecord window_record(const void* item) {
  WindowRecord record;
  // An entry that is not a dictionary has no owner, which ends the walk.
  if (item == nullptr || CFGetTypeID(item) != CFDictionaryGetTypeID()) return record;
  const auto entry = static_cast<CFDictionaryRef>(item);
  record.owner_pid = int64_member(entry, kCGWindowOwnerPID);
  record.layer = int64_member(entry, kCGWindowLayer);
  const void* bounds = CFDictionaryGetValue(entry, kCGWindowBounds);
  CGRect rect{};
  if (bounds == nullptr) {
    record.bounds_state = WindowRecord::BoundsState::missing;
  } else if (CFGetTypeID(bounds) != CFDictionaryGetTypeID()) {
    record.bounds_state = WindowRecord::BoundsState::not_a_dictionary;
  } else if (!CGRectMakeWithDictionaryRepresentation(static_cast<CFDictionaryRef>(bounds), &rect)) {
    record.bounds_state = WindowRecord::BoundsState::unreadable;
  } else {
    record.x = rect.origin.x;
    record.y = rect.origin.y;
    record.width = rect.size.width;
    record.height = rect.size.height;
  }
  return record;
}

class MacWindowList final : public WindowList {
 public:
  std::vector<std::int32_t> browser_pids() override {
    std::vector<std::int32_t> pids;
    @autoreleasepool {
      for (const std::string_view bundle : kBrowserBundleIds) {
        NSString* identifier = [[[NSString alloc] initWithBytes:bundle.data()
                                                         length:bundle.size()
                                                       encoding:NSUTF8StringEncoding] autorelease];
        for (NSRunningApplication* app in [NSRunningApplication runningApplicationsWithBundleIdentifier:identifier]) {
          pids.push_back(static_cast<std::int32_t>([app processIdentifier]));
        }
      }
    }
    return pids;
  }

  std::optional<std::vector<WindowRecord>> front_to_back() override {
    const CfOwner<CFArrayRef> list(CGWindowListCopyWindowInfo(kBrowserWindowListOptions, kCGNullWindowID));
    if (!list) return std::nullopt;
    const CFIndex count = CFArrayGetCount(list.get());
    std::vector<WindowRecord> windows;
    windows.reserve(static_cast<std::size_t>(std::max<CFIndex>(count, 0)));
    for (CFIndex i = 0; i < count; ++i) windows.push_back(window_record(CFArrayGetValueAtIndex(list.get(), i)));
    return windows;
  }
};

}  // namespace

std::unique_ptr<WindowList> make_window_list() { return std::make_unique<MacWindowList>(); }

}  // namespace pelagon2::platform::macos
