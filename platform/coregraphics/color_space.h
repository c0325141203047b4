#ifndef PLATFORM_COREGRAPHICS_COLOR_SPACE_H_
#define PLATFORM_COREGRAPHICS_COLOR_SPACE_H_

// Core Graphics colour spaces: gray or RGB, named by how many colour components they have.
//
//   CGColorSpaceRef rgb = CGColorSpaceCreateDeviceRGB();     // count 1
//   CGColorSpaceGetNumberOfComponents(rgb);                   // 3
//   CGColorSpaceRelease(rgb);
//
// This stand-in does no colour management: every RGB space (device RGB, sRGB) means the same
// 8-bit values, and gray is luminance (see pixel_layout.h). Colour spaces are Core Foundation
// objects (CFRetain / CFRelease work on them) and are immutable and thread-safe.

#include <cstddef>

#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/object.h"

using CGColorSpaceRef = struct CGColorSpaceObject*;

enum CGColorSpaceModel : int {
  kCGColorSpaceModelMonochrome = 0,
  kCGColorSpaceModelRGB = 1,
};

// Names accepted by CGColorSpaceCreateWithName.
extern const CFStringRef kCGColorSpaceSRGB;
extern const CFStringRef kCGColorSpaceLinearGray;

CFTypeID CGColorSpaceGetTypeID();
CGColorSpaceRef CGColorSpaceCreateDeviceGray();
CGColorSpaceRef CGColorSpaceCreateDeviceRGB();
// NULL for a name this stand-in does not know.
CGColorSpaceRef CGColorSpaceCreateWithName(CFStringRef name);
// NULL-safe.
CGColorSpaceRef CGColorSpaceRetain(CGColorSpaceRef space);
void CGColorSpaceRelease(CGColorSpaceRef space);

// 0 for NULL.
size_t CGColorSpaceGetNumberOfComponents(CGColorSpaceRef space);
CGColorSpaceModel CGColorSpaceGetModel(CGColorSpaceRef space);
// The name the space was made with (not retained for the caller), NULL for the device spaces.
CFStringRef CGColorSpaceGetName(CGColorSpaceRef space);

#endif  // PLATFORM_COREGRAPHICS_COLOR_SPACE_H_
