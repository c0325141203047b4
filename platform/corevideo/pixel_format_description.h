#ifndef PLATFORM_COREVIDEO_PIXEL_FORMAT_DESCRIPTION_H_
#define PLATFORM_COREVIDEO_PIXEL_FORMAT_DESCRIPTION_H_

// Pixel-format descriptions: what Core Video says about the formats it knows (those of
// pixel_format.h).
//
//   CFArrayRef formats = CVPixelFormatDescriptionArrayCreateWithAllPixelFormatTypes(NULL);
//   for (CFIndex i = 0; i < CFArrayGetCount(formats); ++i) {
//     int32_t code;
//     CFNumberGetValue((CFNumberRef)CFArrayGetValueAtIndex(formats, i), kCFNumberSInt32Type, &code);
//     CFDictionaryRef d = CVPixelFormatDescriptionCreateWithPixelFormatType(NULL, code);
//     ...
//     CFRelease(d);
//   }
//   CFRelease(formats);
//
// A description holds, in this order: kCVPixelFormatName (string, e.g. "32BGRA"),
// kCVPixelFormatConstant (number, the code), then for single-plane formats
// kCVPixelFormatBitsPerBlock (number) and for planar ones kCVPixelFormatPlanes (an array of
// one dictionary per plane with kCVPixelFormatBitsPerBlock, kCVPixelFormatHorizontalSubsampling
// and kCVPixelFormatVerticalSubsampling), and last kCVPixelFormatOpenGLESCompatibility (true
// for every format here).

#include "platform/corefoundation/array.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/dictionary.h"
#include "platform/corefoundation/object.h"

extern const CFStringRef kCVPixelFormatName;
extern const CFStringRef kCVPixelFormatConstant;
extern const CFStringRef kCVPixelFormatBitsPerBlock;
extern const CFStringRef kCVPixelFormatPlanes;
extern const CFStringRef kCVPixelFormatHorizontalSubsampling;
extern const CFStringRef kCVPixelFormatVerticalSubsampling;
// kCVPixelFormatOpenGLESCompatibility is declared in pixel_buffer.h.

// The codes of all known formats as signed 32-bit numbers, in the order of pixel_format.h.
CFArrayRef CVPixelFormatDescriptionArrayCreateWithAllPixelFormatTypes(CFAllocatorRef allocator);
// The description of `format`, or NULL for an unknown code.
CFDictionaryRef CVPixelFormatDescriptionCreateWithPixelFormatType(CFAllocatorRef allocator, OSType format);

#endif  // PLATFORM_COREVIDEO_PIXEL_FORMAT_DESCRIPTION_H_
