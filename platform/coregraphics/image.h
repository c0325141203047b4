#ifndef PLATFORM_COREGRAPHICS_IMAGE_H_
#define PLATFORM_COREGRAPHICS_IMAGE_H_

// Core Graphics bitmap contexts and images.
//
//   CGColorSpaceRef rgb = CGColorSpaceCreateDeviceRGB();
//   CGContextRef context = CGBitmapContextCreate(pixels, width, height, 8, bytes_per_row, rgb,
//       kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);   // B, G, R, A
//   CGContextClearRect(context, CGRectMake(0, 0, width, height));
//   CGContextDrawImage(context, CGRectMake(0, 0, width, height), image);
//   CGImageRef snapshot = CGBitmapContextCreateImage(context);   // a copy of the pixels
//   CGContextRelease(context); CGColorSpaceRelease(rgb);
//
// A bitmap context draws into caller memory (or memory of its own when `data` is NULL) in one
// of the layouts of pixel_layout.h; any other layout, or a NULL colour space, makes
// CGBitmapContextCreate return NULL. User space has its origin at the bottom-left corner, so
// the rectangle (0, 0, width, height) covers the whole bitmap and an image drawn into it
// lands upright in memory (its first row in the bitmap's first row). Drawing samples the image
// at the nearest pixel and composites source-over; clearing sets every byte of the covered
// pixels to 0. An image holds its own copy of the pixels and never changes.
//
// Contexts and images are Core Foundation objects. A context is used by one thread at a time;
// images are immutable and thread-safe.

#include <cstddef>
#include <cstdint>

#include "platform/coregraphics/bitmap_info.h"
#include "platform/coregraphics/color_space.h"
#include "platform/coregraphics/geometry.h"

using CGImageRef = struct CGImageObject*;
using CGContextRef = struct CGContextObject*;

CFTypeID CGImageGetTypeID();
CFTypeID CGContextGetTypeID();

// `bytes_per_row` 0 lets the context choose (packed rows) when it allocates.
CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height,
                                   size_t bits_per_component, size_t bytes_per_row,
                                   CGColorSpaceRef space, uint32_t bitmap_info);
// A new image of the context's pixels, or NULL for a NULL context.
CGImageRef CGBitmapContextCreateImage(CGContextRef context);
void* CGBitmapContextGetData(CGContextRef context);
size_t CGBitmapContextGetWidth(CGContextRef context);
size_t CGBitmapContextGetHeight(CGContextRef context);
size_t CGBitmapContextGetBytesPerRow(CGContextRef context);

void CGContextClearRect(CGContextRef context, CGRect rect);
void CGContextDrawImage(CGContextRef context, CGRect rect, CGImageRef image);

// NULL-safe.
CGContextRef CGContextRetain(CGContextRef context);
void CGContextRelease(CGContextRef context);
CGImageRef CGImageRetain(CGImageRef image);
void CGImageRelease(CGImageRef image);

size_t CGImageGetWidth(CGImageRef image);
size_t CGImageGetHeight(CGImageRef image);
size_t CGImageGetBitsPerComponent(CGImageRef image);
size_t CGImageGetBitsPerPixel(CGImageRef image);
size_t CGImageGetBytesPerRow(CGImageRef image);
CGColorSpaceRef CGImageGetColorSpace(CGImageRef image);  // not retained for the caller
CGBitmapInfo CGImageGetBitmapInfo(CGImageRef image);

namespace platform::coregraphics {

// The pixels of an image (CGImageGetBytesPerRow bytes a row), for tests.
const uint8_t* ImageBytes(CGImageRef image);

}  // namespace platform::coregraphics

#endif  // PLATFORM_COREGRAPHICS_IMAGE_H_
