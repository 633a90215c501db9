// Type-check declarations (see CoreFoundation/CoreFoundation.h): the keyboard
// layout calls of Carbon's Text Input Sources and Unicode Utilities.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>

typedef struct __TISInputSource* TISInputSourceRef;
typedef struct UCKeyboardLayout UCKeyboardLayout;

enum : UInt16 {
  kUCKeyActionDown = 0,
  kUCKeyActionUp = 1,
  kUCKeyActionAutoKey = 2,
  kUCKeyActionDisplay = 3,
};
enum : UInt32 {
  kUCKeyTranslateNoDeadKeysBit = 0,
  kUCKeyTranslateNoDeadKeysMask = 1UL << kUCKeyTranslateNoDeadKeysBit,
};
// Event modifier bits (Events.h); UCKeyTranslate takes them shifted right by 8.
enum : UInt16 {
  cmdKey = 1 << 8,
  shiftKey = 1 << 9,
  alphaLock = 1 << 10,
  optionKey = 1 << 11,
  controlKey = 1 << 12,
};

PG_DECLS_BEGIN

TISInputSourceRef TISCopyCurrentKeyboardInputSource(void);
TISInputSourceRef TISCopyCurrentKeyboardLayoutInputSource(void);
TISInputSourceRef TISCopyCurrentASCIICapableKeyboardLayoutInputSource(void);
void* TISGetInputSourceProperty(TISInputSourceRef inputSource, CFStringRef propertyKey);
extern const CFStringRef kTISPropertyUnicodeKeyLayoutData;
extern const CFStringRef kTISPropertyInputSourceID;
extern const CFStringRef kTISPropertyLocalizedName;

UInt8 LMGetKbdType(void);

OSStatus UCKeyTranslate(const UCKeyboardLayout* keyLayoutPtr, UInt16 virtualKeyCode, UInt16 keyAction,
                        UInt32 modifierKeyState, UInt32 keyboardType, OptionBits keyTranslateOptions,
                        UInt32* deadKeyState, UniCharCount maxStringLength, UniCharCount* actualStringLength,
                        UniChar unicodeString[]);

PG_DECLS_END
