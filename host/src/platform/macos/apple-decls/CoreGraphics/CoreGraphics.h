// Type-check declarations (see CoreFoundation/CoreFoundation.h): the
// CoreGraphics displays, images, window list, Screen Recording checks and
// synthetic events the macOS backend uses.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <stdbool.h>

// CGFloat and the geometry structs: on Apple systems NSPoint, NSSize and NSRect
// are these very types, so they are taken from GNUstep's Foundation.
#import <Foundation/NSGeometry.h>
typedef NSPoint CGPoint;
typedef NSSize CGSize;
typedef NSRect CGRect;

typedef int boolean_t;
typedef int32_t CGError;
enum : int32_t {
  kCGErrorSuccess = 0,
  kCGErrorFailure = 1000,
  kCGErrorIllegalArgument = 1001,
  kCGErrorInvalidConnection = 1002,
  kCGErrorNoneAvailable = 1011,
};

typedef uint32_t CGDirectDisplayID;
typedef struct CGDisplayMode* CGDisplayModeRef;
typedef struct CGImage* CGImageRef;
typedef struct CGDataProvider* CGDataProviderRef;
typedef struct CGColorSpace* CGColorSpaceRef;
typedef struct CGContext* CGContextRef;
typedef struct __CGEvent* CGEventRef;
typedef struct __CGEventSource* CGEventSourceRef;

// ---- Images -----------------------------------------------------------------
typedef uint32_t CGBitmapInfo;
enum : uint32_t {
  kCGImageAlphaNone = 0,
  kCGImageAlphaPremultipliedLast = 1,
  kCGImageAlphaPremultipliedFirst = 2,
  kCGImageAlphaLast = 3,
  kCGImageAlphaFirst = 4,
  kCGImageAlphaNoneSkipLast = 5,
  kCGImageAlphaNoneSkipFirst = 6,
  kCGImageAlphaOnly = 7,
};
typedef uint32_t CGImageAlphaInfo;
enum : uint32_t {
  kCGBitmapAlphaInfoMask = 0x1F,
  kCGBitmapFloatComponents = 1 << 8,
  kCGBitmapByteOrderMask = 0x7000,
  kCGBitmapByteOrderDefault = 0 << 12,
  kCGBitmapByteOrder16Little = 1 << 12,
  kCGBitmapByteOrder32Little = 2 << 12,
  kCGBitmapByteOrder16Big = 3 << 12,
  kCGBitmapByteOrder32Big = 4 << 12,
};
typedef uint32_t CGImageByteOrderInfo;
enum : uint32_t {
  kCGImageByteOrderMask = 0x7000,
  kCGImageByteOrderDefault = 0 << 12,
  kCGImageByteOrder16Little = 1 << 12,
  kCGImageByteOrder32Little = 2 << 12,
  kCGImageByteOrder16Big = 3 << 12,
  kCGImageByteOrder32Big = 4 << 12,
};
typedef uint32_t CGImagePixelFormatInfo;
enum : uint32_t {
  kCGImagePixelFormatMask = 0xF0000,
  kCGImagePixelFormatPacked = 0 << 16,
  kCGImagePixelFormatRGB555 = 1 << 16,
  kCGImagePixelFormatRGB565 = 2 << 16,
  kCGImagePixelFormatRGB101010 = 3 << 16,
  kCGImagePixelFormatRGBCIF10 = 4 << 16,
};
typedef int32_t CGColorRenderingIntent;
enum : int32_t { kCGRenderingIntentDefault = 0 };
typedef void (*CGDataProviderReleaseDataCallback)(void* info, const void* data, size_t size);

// ---- Window list ------------------------------------------------------------
typedef uint32_t CGWindowID;
typedef uint32_t CGWindowListOption;
enum : uint32_t {
  kCGWindowListOptionAll = 0,
  kCGWindowListOptionOnScreenOnly = 1 << 0,
  kCGWindowListOptionOnScreenAboveWindow = 1 << 1,
  kCGWindowListOptionOnScreenBelowWindow = 1 << 2,
  kCGWindowListOptionIncludingWindow = 1 << 3,
  kCGWindowListExcludeDesktopElements = 1 << 4,
};
typedef uint32_t CGWindowImageOption;
enum : uint32_t {
  kCGWindowImageDefault = 0,
  kCGWindowImageBoundsIgnoreFraming = 1 << 0,
  kCGWindowImageShouldBeOpaque = 1 << 1,
  kCGWindowImageOnlyShadows = 1 << 2,
  kCGWindowImageBestResolution = 1 << 3,
  kCGWindowImageNominalResolution = 1 << 4,
};
#define kCGNullWindowID ((CGWindowID)0)

// ---- Events -----------------------------------------------------------------
typedef uint16_t CGKeyCode;
typedef uint32_t CGEventType;
enum : uint32_t {
  kCGEventNull = 0,
  kCGEventLeftMouseDown = 1,
  kCGEventLeftMouseUp = 2,
  kCGEventRightMouseDown = 3,
  kCGEventRightMouseUp = 4,
  kCGEventMouseMoved = 5,
  kCGEventLeftMouseDragged = 6,
  kCGEventRightMouseDragged = 7,
  kCGEventKeyDown = 10,
  kCGEventKeyUp = 11,
  kCGEventFlagsChanged = 12,
  kCGEventScrollWheel = 22,
  kCGEventOtherMouseDown = 25,
  kCGEventOtherMouseUp = 26,
  kCGEventOtherMouseDragged = 27,
};
typedef uint32_t CGMouseButton;
enum : uint32_t { kCGMouseButtonLeft = 0, kCGMouseButtonRight = 1, kCGMouseButtonCenter = 2 };
typedef uint32_t CGScrollEventUnit;
enum : uint32_t { kCGScrollEventUnitPixel = 0, kCGScrollEventUnitLine = 1 };
typedef uint32_t CGEventTapLocation;
enum : uint32_t { kCGHIDEventTap = 0, kCGSessionEventTap = 1, kCGAnnotatedSessionEventTap = 2 };
typedef int32_t CGEventSourceStateID;
enum : int32_t {
  kCGEventSourceStatePrivate = -1,
  kCGEventSourceStateCombinedSessionState = 0,
  kCGEventSourceStateHIDSystemState = 1,
};
typedef uint64_t CGEventFlags;
enum : uint64_t {
  kCGEventFlagMaskAlphaShift = 0x00010000,
  kCGEventFlagMaskShift = 0x00020000,
  kCGEventFlagMaskControl = 0x00040000,
  kCGEventFlagMaskAlternate = 0x00080000,
  kCGEventFlagMaskCommand = 0x00100000,
  kCGEventFlagMaskHelp = 0x00400000,
  kCGEventFlagMaskSecondaryFn = 0x00800000,
  kCGEventFlagMaskNumericPad = 0x00200000,
  kCGEventFlagMaskNonCoalesced = 0x00000100,
};
typedef uint32_t CGEventField;
enum : uint32_t {
  kCGMouseEventNumber = 0,
  kCGMouseEventClickState = 1,
  kCGMouseEventPressure = 2,
  kCGMouseEventButtonNumber = 3,
  kCGMouseEventDeltaX = 4,
  kCGMouseEventDeltaY = 5,
  kCGMouseEventInstantMouser = 6,
  kCGMouseEventSubtype = 7,
  kCGKeyboardEventAutorepeat = 8,
  kCGKeyboardEventKeycode = 9,
  kCGKeyboardEventKeyboardType = 10,
  kCGScrollWheelEventDeltaAxis1 = 11,
  kCGScrollWheelEventDeltaAxis2 = 12,
  kCGScrollWheelEventDeltaAxis3 = 13,
  kCGScrollWheelEventInstantMouser = 14,
  kCGEventSourceUserData = 42,
  kCGScrollWheelEventIsContinuous = 88,
};

PG_DECLS_BEGIN

// ---- Displays ---------------------------------------------------------------
CGError CGGetActiveDisplayList(uint32_t maxDisplays, CGDirectDisplayID* activeDisplays, uint32_t* displayCount);
CGDirectDisplayID CGMainDisplayID(void);
CGRect CGDisplayBounds(CGDirectDisplayID display);
size_t CGDisplayPixelsWide(CGDirectDisplayID display);
size_t CGDisplayPixelsHigh(CGDirectDisplayID display);
boolean_t CGDisplayIsMain(CGDirectDisplayID display);
CGDisplayModeRef CGDisplayCopyDisplayMode(CGDirectDisplayID display);
size_t CGDisplayModeGetWidth(CGDisplayModeRef mode);
size_t CGDisplayModeGetHeight(CGDisplayModeRef mode);
size_t CGDisplayModeGetPixelWidth(CGDisplayModeRef mode);
size_t CGDisplayModeGetPixelHeight(CGDisplayModeRef mode);
void CGDisplayModeRelease(CGDisplayModeRef mode);

// ---- Geometry ---------------------------------------------------------------
bool CGRectMakeWithDictionaryRepresentation(CFDictionaryRef dict, CGRect* rect);
CFDictionaryRef CGRectCreateDictionaryRepresentation(CGRect rect);
extern const CGRect CGRectNull;
extern const CGRect CGRectZero;

// ---- Screen Recording -------------------------------------------------------
bool CGPreflightScreenCaptureAccess(void) API_AVAILABLE(macos(10.15));
bool CGRequestScreenCaptureAccess(void) API_AVAILABLE(macos(10.15));

// ---- Images -----------------------------------------------------------------
size_t CGImageGetWidth(CGImageRef image);
size_t CGImageGetHeight(CGImageRef image);
size_t CGImageGetBitsPerComponent(CGImageRef image);
size_t CGImageGetBitsPerPixel(CGImageRef image);
size_t CGImageGetBytesPerRow(CGImageRef image);
CGBitmapInfo CGImageGetBitmapInfo(CGImageRef image);
CGImageAlphaInfo CGImageGetAlphaInfo(CGImageRef image);
CGDataProviderRef CGImageGetDataProvider(CGImageRef image);
CGImageRef CGImageRetain(CGImageRef image);
void CGImageRelease(CGImageRef image);
CGImageRef CGImageCreate(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                         size_t bytesPerRow, CGColorSpaceRef space, CGBitmapInfo bitmapInfo,
                         CGDataProviderRef provider, const CGFloat* decode, bool shouldInterpolate,
                         CGColorRenderingIntent intent);
CFDataRef CGDataProviderCopyData(CGDataProviderRef provider);
CGDataProviderRef CGDataProviderCreateWithData(void* info, const void* data, size_t size,
                                               CGDataProviderReleaseDataCallback releaseData);
CGDataProviderRef CGDataProviderCreateWithCFData(CFDataRef data);
void CGDataProviderRelease(CGDataProviderRef provider);
CGColorSpaceRef CGColorSpaceCreateDeviceRGB(void);
CGColorSpaceRef CGColorSpaceCreateWithName(CFStringRef name);
void CGColorSpaceRelease(CGColorSpaceRef space);
extern const CFStringRef kCGColorSpaceSRGB;

// ---- Window list ------------------------------------------------------------
CFArrayRef CGWindowListCopyWindowInfo(CGWindowListOption option, CGWindowID relativeToWindow);
extern const CFStringRef kCGWindowNumber;
extern const CFStringRef kCGWindowLayer;
extern const CFStringRef kCGWindowBounds;
extern const CFStringRef kCGWindowOwnerPID;
extern const CFStringRef kCGWindowOwnerName;
extern const CFStringRef kCGWindowName;
extern const CFStringRef kCGWindowIsOnscreen;
extern const CFStringRef kCGWindowAlpha;
// Deprecated in macOS 14 and gone from the macOS 15 SDKs: reach it at run time
// (dlsym), never by name.
CGImageRef CGWindowListCreateImage(CGRect screenBounds, CGWindowListOption listOption, CGWindowID windowID,
                                   CGWindowImageOption imageOption)
    PG_UNAVAILABLE("obsoleted in macOS 15.0 - use ScreenCaptureKit, or look it up at run time");

// ---- Events -----------------------------------------------------------------
CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID stateID);
void CGEventSourceSetLocalEventsSuppressionInterval(CGEventSourceRef source, double seconds);
CGEventRef CGEventCreate(CGEventSourceRef source);
CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode virtualKey, bool keyDown);
CGEventRef CGEventCreateMouseEvent(CGEventSourceRef source, CGEventType mouseType, CGPoint mouseCursorPosition,
                                   CGMouseButton mouseButton);
CGEventRef CGEventCreateScrollWheelEvent(CGEventSourceRef source, CGScrollEventUnit units, uint32_t wheelCount,
                                         int32_t wheel1, ...);
CGEventRef CGEventCreateScrollWheelEvent2(CGEventSourceRef source, CGScrollEventUnit units, uint32_t wheelCount,
                                          int32_t wheel1, int32_t wheel2, int32_t wheel3)
    API_AVAILABLE(macos(10.13));
void CGEventPost(CGEventTapLocation tap, CGEventRef event);
CGPoint CGEventGetLocation(CGEventRef event);
void CGEventSetLocation(CGEventRef event, CGPoint location);
CGEventType CGEventGetType(CGEventRef event);
void CGEventSetType(CGEventRef event, CGEventType type);
CGEventFlags CGEventGetFlags(CGEventRef event);
void CGEventSetFlags(CGEventRef event, CGEventFlags flags);
int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field);
void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value);
void CGEventSetDoubleValueField(CGEventRef event, CGEventField field, double value);
void CGEventKeyboardSetUnicodeString(CGEventRef event, UniCharCount stringLength, const UniChar* unicodeString);
void CGEventKeyboardGetUnicodeString(CGEventRef event, UniCharCount maxStringLength, UniCharCount* actualStringLength,
                                     UniChar* unicodeString);
CGError CGWarpMouseCursorPosition(CGPoint newCursorPosition);
CGError CGAssociateMouseAndMouseCursorPosition(boolean_t connected);

PG_DECLS_END
