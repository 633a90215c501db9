// Type-check declarations (see CoreFoundation/CoreFoundation.h): the
// Accessibility trust checks of ApplicationServices (HIServices), which also
// brings CoreGraphics and Core Foundation as the real umbrella does.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>

PG_DECLS_BEGIN

Boolean AXIsProcessTrusted(void);
Boolean AXIsProcessTrustedWithOptions(CFDictionaryRef options);
extern const CFStringRef kAXTrustedCheckOptionPrompt;

PG_DECLS_END
