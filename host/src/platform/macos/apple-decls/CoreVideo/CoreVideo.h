// Type-check declarations (see CoreFoundation/CoreFoundation.h): the CoreVideo
// pixel format codes the capture configuration names.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

enum : OSType {
  kCVPixelFormatType_32ARGB = 0x00000020,
  kCVPixelFormatType_32BGRA = 'BGRA',
  kCVPixelFormatType_32RGBA = 'RGBA',
};
