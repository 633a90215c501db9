// Type-checked by scripts/check-objc and never built: it makes the check parse
// every declaration header of this folder.

#import <AppKit/AppKit.h>
#import <Vision/Vision.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>
#include <ApplicationServices/ApplicationServices.h>
#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>
#include <CoreVideo/CoreVideo.h>
#include <pthread.h>

// Every header at once, and a use of the declarations that the backend files
// to come (input events, keyboard layout, text recognition) will need, so that
// these declarations are checked before any backend file relies on them.
API_AVAILABLE(macos(10.15))
int use_declarations() {
  CGEventSourceRef source = CGEventSourceCreate(kCGEventSourceStateHIDSystemState);
  CGEventRef key = CGEventCreateKeyboardEvent(source, 0x24, true);
  const UniChar text[] = {0x00E9};
  CGEventKeyboardSetUnicodeString(key, 1, text);
  CGEventSetFlags(key, kCGEventFlagMaskShift | kCGEventFlagMaskCommand);
  CGEventPost(kCGHIDEventTap, key);
  CGEventRef mouse = CGEventCreateMouseEvent(source, kCGEventLeftMouseDown, CGPoint{10, 20}, kCGMouseButtonLeft);
  CGEventSetIntegerValueField(mouse, kCGMouseEventClickState, 2);
  CGEventRef wheel = CGEventCreateScrollWheelEvent2(source, kCGScrollEventUnitLine, 2, -3, 1, 0);
  CGEventRef wheel_old = CGEventCreateScrollWheelEvent(source, kCGScrollEventUnitPixel, 1, 5);
  CFRelease(key);
  CFRelease(mouse);
  CFRelease(wheel);
  CFRelease(wheel_old);
  CFRelease(source);
  const size_t high = CGDisplayPixelsHigh(CGMainDisplayID());

  const NSPoint location = [NSEvent mouseLocation];
  const NSUInteger buttons = [NSEvent pressedMouseButtons];
  const NSTimeInterval interval = [NSEvent doubleClickInterval];
  const CGPoint as_cg = location;

  TISInputSourceRef layout_source = TISCopyCurrentKeyboardLayoutInputSource();
  const auto layout_data = static_cast<CFDataRef>(TISGetInputSourceProperty(layout_source, kTISPropertyUnicodeKeyLayoutData));
  const auto* layout = reinterpret_cast<const UCKeyboardLayout*>(CFDataGetBytePtr(layout_data));
  UInt32 dead_keys = 0;
  UniChar chars[4];
  UniCharCount length = 0;
  const OSStatus status = UCKeyTranslate(layout, 0, kUCKeyActionDown, (shiftKey >> 8) & 0xFF, LMGetKbdType(),
                                         kUCKeyTranslateNoDeadKeysMask, &dead_keys, 4, &length, chars);
  CFRelease(layout_source);

  VNRecognizeTextRequest* request = [[VNRecognizeTextRequest alloc] init];
  request.recognitionLevel = VNRequestTextRecognitionLevelAccurate;
  request.recognitionLanguages = [NSArray arrayWithObject:@"en-US"];
  request.usesLanguageCorrection = YES;
  VNImageRequestHandler* handler = [[VNImageRequestHandler alloc] initWithCGImage:nullptr options:[NSDictionary dictionary]];
  NSError* error = nil;
  [handler performRequests:[NSArray arrayWithObject:request] error:&error];
  int found = 0;
  for (VNRecognizedTextObservation* observation in request.results) {
    VNRecognizedText* best = [[observation topCandidates:1] firstObject];
    const CGRect box = observation.boundingBox;
    found += static_cast<int>([best.string length]) + static_cast<int>(best.confidence + box.origin.x);
  }
  [request release];
  [handler release];
  return found + static_cast<int>(static_cast<double>(high + buttons) + interval + as_cg.x) + status + pthread_main_np();
}
