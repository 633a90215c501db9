// The event sink of the macOS input model: Quartz events created and posted
// exactly as described, the pointer and click settings from AppKit, and key
// translation through the current keyboard layout. What to post, and when,
// is the model's.

#import <AppKit/AppKit.h>
#include <ApplicationServices/ApplicationServices.h>
#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "platform/macos/apple_refs.h"
#include "platform/macos/macos_input_model.h"
#include "platform/macos/macos_services.h"

namespace pelagon2::platform::macos {
namespace {

static_assert(kLeftMouseDown == kCGEventLeftMouseDown);
static_assert(kLeftMouseUp == kCGEventLeftMouseUp);
static_assert(kRightMouseDown == kCGEventRightMouseDown);
static_assert(kRightMouseUp == kCGEventRightMouseUp);
static_assert(kMouseMoved == kCGEventMouseMoved);
static_assert(kLeftMouseDragged == kCGEventLeftMouseDragged);
static_assert(kRightMouseDragged == kCGEventRightMouseDragged);
static_assert(kOtherMouseDown == kCGEventOtherMouseDown);
static_assert(kOtherMouseUp == kCGEventOtherMouseUp);
static_assert(kFieldClickState == kCGMouseEventClickState);
static_assert(kFieldButtonNumber == kCGMouseEventButtonNumber);
static_assert(kFieldDeltaX == kCGMouseEventDeltaX);
static_assert(kFieldDeltaY == kCGMouseEventDeltaY);
static_assert(kFieldUserData == kCGEventSourceUserData);
static_assert(sizeof(char16_t) == sizeof(UniChar));

using EventOwner = CfOwner<CGEventRef>;

EventOwner create_event(CGEventSourceRef source, const MacEvent& event) {
  switch (event.kind) {
    case MacEvent::Kind::mouse:
      return EventOwner(CGEventCreateMouseEvent(source, event.mouse_type, CGPoint{event.x, event.y},
                                                event.mouse_button));
    case MacEvent::Kind::keyboard:
      return EventOwner(CGEventCreateKeyboardEvent(source, event.key_code, event.key_down));
    case MacEvent::Kind::scroll:
      return EventOwner(CGEventCreateScrollWheelEvent2(source, kCGScrollEventUnitLine, event.wheel_count,
                                                       event.wheel1, event.wheel2, event.wheel3));
  }
  return EventOwner();
}

TISInputSourceRef copy_input_source(KeyboardLayoutSource source) {
  switch (source) {
    case KeyboardLayoutSource::current_keyboard:
      return TISCopyCurrentKeyboardInputSource();
    case KeyboardLayoutSource::current_keyboard_layout:
      return TISCopyCurrentKeyboardLayoutInputSource();
    case KeyboardLayoutSource::current_ascii_capable_layout:
      return TISCopyCurrentASCIICapableKeyboardLayoutInputSource();
  }
  return nullptr;
}

class QuartzEventSink final : public MacEventSink {
 public:
  bool accessibility_trusted_prompting() override {
    const void* keys[] = {kAXTrustedCheckOptionPrompt};
    const void* values[] = {kCFBooleanTrue};
    const CfOwner<CFDictionaryRef> options(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                              &kCFTypeDictionaryKeyCallBacks,
                                                              &kCFTypeDictionaryValueCallBacks));
    return AXIsProcessTrustedWithOptions(options.get()) != 0;
  }

  double double_click_interval() override {
    @autoreleasepool {
      return static_cast<double>([NSEvent doubleClickInterval]);
    }
  }

  bool create_event_source() override {
    source_ = CfOwner<CGEventSourceRef>(CGEventSourceCreate(kCGEventSourceStateCombinedSessionState));
    return static_cast<bool>(source_);
  }

  std::uint32_t main_display_id() override { return CGMainDisplayID(); }

  std::uint64_t display_pixels_high(std::uint32_t display) override { return CGDisplayPixelsHigh(display); }

  MacPoint mouse_location() override {
    @autoreleasepool {
      const NSPoint at = [NSEvent mouseLocation];
      return MacPoint{static_cast<double>(at.x), static_cast<double>(at.y)};
    }
  }

  std::uint64_t pressed_mouse_buttons() override {
    @autoreleasepool {
      return [NSEvent pressedMouseButtons];
    }
  }

  bool post(const MacEvent& event) override {
    const EventOwner created = create_event(source_.get(), event);
    if (!created) return false;
    for (const auto& [field, value] : event.fields) CGEventSetIntegerValueField(created.get(), field, value);
    if (event.unicode) {
      CGEventKeyboardSetUnicodeString(created.get(), event.unicode->size(),
                                      reinterpret_cast<const UniChar*>(event.unicode->data()));
    }
    CGEventSetFlags(created.get(), event.flags);
    CGEventPost(kCGHIDEventTap, created.get());
    return true;
  }

  bool select_keyboard_layout(KeyboardLayoutSource which) override {
    layout_ = nullptr;
    // The layout data belongs to the input source, which is kept until the
    // next selection or the end of the request.
    layout_source_ = CfOwner<TISInputSourceRef>(copy_input_source(which));
    if (!layout_source_) return false;
    const auto data = static_cast<CFTypeRef>(
        TISGetInputSourceProperty(layout_source_.get(), kTISPropertyUnicodeKeyLayoutData));
    if (data == nullptr || CFGetTypeID(data) != CFDataGetTypeID() ||
        CFDataGetLength(static_cast<CFDataRef>(data)) <= 0) {
      return false;
    }
    layout_ = reinterpret_cast<const UCKeyboardLayout*>(CFDataGetBytePtr(static_cast<CFDataRef>(data)));
    return layout_ != nullptr;
  }

  std::optional<std::u16string> translate_key(std::uint16_t key_code, std::uint32_t modifier_state) override {
    if (layout_ == nullptr) return std::nullopt;
    UInt32 dead_key_state = 0;
    UniChar unit = 0;
    UniCharCount length = 0;
    const OSStatus status = UCKeyTranslate(layout_, key_code, kUCKeyActionDisplay, modifier_state, LMGetKbdType(), 0,
                                           &dead_key_state, 1, &length, &unit);
    if (status != noErr) return std::nullopt;
    return std::u16string(std::min<UniCharCount>(length, 1), static_cast<char16_t>(unit));
  }

 private:
  CfOwner<CGEventSourceRef> source_;
  CfOwner<TISInputSourceRef> layout_source_;
  const UCKeyboardLayout* layout_ = nullptr;
};

}  // namespace

std::unique_ptr<MacEventSink> make_event_sink() { return std::make_unique<QuartzEventSink>(); }

}  // namespace pelagon2::platform::macos
