#ifndef PLATFORM_COREVIDEO_PIXEL_BUFFER_H_
#define PLATFORM_COREVIDEO_PIXEL_BUFFER_H_

// Core Video pixel buffers: reference-counted images in CPU memory.
//
//   CVPixelBufferRef buffer = NULL;
//   CVReturn err = CVPixelBufferCreate(kCFAllocatorDefault, 640, 480, kCVPixelFormatType_32BGRA,
//                                      NULL, &buffer);                  // count 1
//   CVPixelBufferLockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly);
//   const uint8_t* row0 = (const uint8_t*)CVPixelBufferGetBaseAddress(buffer);
//   ... CVPixelBufferGetBytesPerRow(buffer) bytes per row ...
//   CVPixelBufferUnlockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly);
//   CVPixelBufferRelease(buffer);
//
// A pixel buffer is a Core Foundation object (CFRetain / CFRelease work on it) of one of the
// formats of pixel_format.h. Memory it allocates is zero-filled, starts on a 64-byte boundary,
// and has every row padded to a multiple of 64 bytes (kCVPixelBufferBytesPerRowAlignmentKey
// in the attributes chooses another multiple). The '420v' / '420f' formats have two planes:
// Y' (width x height, 1 byte a pixel) and then interleaved CbCr (ceil(width/2) x
// ceil(height/2), 2 bytes a pixel), each plane starting on a 64-byte boundary.
//
// Base address and locking: the pixel memory is reachable through the base-address getters
// only while the buffer is locked; unlocked, they return NULL (what the platform documents
// for unlocked buffers), which makes a forgotten lock visible at once. Locks nest and are
// counted per kind (read-only and read-write); each unlock must name the kind of a lock that
// is held, otherwise it fails with kCVReturnInvalidArgument and changes nothing. A read-only
// lock is a promise of the caller; nothing stops writes through it.
//
// Planar buffers: CVPixelBufferGetBaseAddress and CVPixelBufferGetBytesPerRow of a planar
// buffer answer for plane 0 (the platform answers with a planar descriptor there; use the
// ...OfPlane functions). For single-plane buffers the plane count is 0 and the ...OfPlane
// functions answer 0 / NULL, as on the platform.
//
// Attributes read by the creation functions (others, such as the GL and Metal compatibility
// keys, are accepted and ignored: every buffer here can be used by the GL and Metal
// stand-ins):
//   kCVPixelBufferIOSurfacePropertiesKey    present: the buffer has a backing surface
//                                           (platform::corevideo::IsSurfaceBacked);
//   kCVPixelBufferBytesPerRowAlignmentKey   a positive number: rows padded to its multiple.
// The width, height and format arguments win over the attribute keys of the same meaning.
//
// All functions are thread-safe; getters of a NULL buffer answer 0 / NULL.

#include <cstddef>
#include <cstdint>

#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/dictionary.h"
#include "platform/corefoundation/object.h"
#include "platform/corevideo/cv_return.h"
#include "platform/corevideo/pixel_format.h"

struct CVPixelBufferObject;
using CVBufferRef = CVPixelBufferObject*;
using CVImageBufferRef = CVPixelBufferObject*;
using CVPixelBufferRef = CVPixelBufferObject*;

using CVPixelBufferLockFlags = CVOptionFlags;
inline constexpr CVPixelBufferLockFlags kCVPixelBufferLock_ReadOnly = 1;

// Runs once, on the thread of the last release, when a buffer made over caller memory is
// destroyed; `base_address` is the memory given at creation.
using CVPixelBufferReleaseBytesCallback = void (*)(void* release_ref_con, const void* base_address);

// Attribute keys (also the keys of pool pixel-buffer attributes, pixel_buffer_pool.h).
extern const CFStringRef kCVPixelBufferPixelFormatTypeKey;  // number: an OSType, or its bits as SInt32
extern const CFStringRef kCVPixelBufferWidthKey;            // number
extern const CFStringRef kCVPixelBufferHeightKey;           // number
extern const CFStringRef kCVPixelBufferBytesPerRowAlignmentKey;
extern const CFStringRef kCVPixelBufferIOSurfacePropertiesKey;  // a dictionary (may be empty)
extern const CFStringRef kCVPixelBufferOpenGLESCompatibilityKey;
extern const CFStringRef kCVPixelBufferMetalCompatibilityKey;
extern const CFStringRef kCVPixelFormatOpenGLESCompatibility;

CFTypeID CVPixelBufferGetTypeID();

// A new buffer with count 1 in *out. Errors (and *out left unchanged): NULL `out`
// kCVReturnInvalidArgument; width or height 0 kCVReturnInvalidSize; a format without a
// layout kCVReturnInvalidPixelFormat; a bad alignment attribute
// kCVReturnInvalidPixelBufferAttributes; memory that cannot be had kCVReturnAllocationFailed.
CVReturn CVPixelBufferCreate(CFAllocatorRef allocator, size_t width, size_t height,
                             OSType pixel_format, CFDictionaryRef attributes, CVPixelBufferRef* out);

// A new buffer over caller memory, which the buffer neither copies nor frees: when the
// buffer is destroyed, `release_callback` (if any) runs exactly once. On failure the callback
// does not run and the caller keeps the memory. Single-plane formats only (a planar format is
// kCVReturnInvalidPixelFormat); a NULL base address or `bytes_per_row` below the width's
// bytes is kCVReturnInvalidArgument. The buffer has no backing surface.
CVReturn CVPixelBufferCreateWithBytes(CFAllocatorRef allocator, size_t width, size_t height,
                                      OSType pixel_format, void* base_address, size_t bytes_per_row,
                                      CVPixelBufferReleaseBytesCallback release_callback,
                                      void* release_ref_con, CFDictionaryRef attributes,
                                      CVPixelBufferRef* out);

// CFRetain / CFRelease that accept NULL (and then do nothing).
CVPixelBufferRef CVPixelBufferRetain(CVPixelBufferRef buffer);
void CVPixelBufferRelease(CVPixelBufferRef buffer);

size_t CVPixelBufferGetWidth(CVPixelBufferRef buffer);
size_t CVPixelBufferGetHeight(CVPixelBufferRef buffer);
OSType CVPixelBufferGetPixelFormatType(CVPixelBufferRef buffer);
size_t CVPixelBufferGetBytesPerRow(CVPixelBufferRef buffer);
void* CVPixelBufferGetBaseAddress(CVPixelBufferRef buffer);  // NULL unless locked
// All pixel memory of the buffer, padding included.
size_t CVPixelBufferGetDataSize(CVPixelBufferRef buffer);
Boolean CVPixelBufferIsPlanar(CVPixelBufferRef buffer);
size_t CVPixelBufferGetPlaneCount(CVPixelBufferRef buffer);
size_t CVPixelBufferGetWidthOfPlane(CVPixelBufferRef buffer, size_t plane);
size_t CVPixelBufferGetHeightOfPlane(CVPixelBufferRef buffer, size_t plane);
size_t CVPixelBufferGetBytesPerRowOfPlane(CVPixelBufferRef buffer, size_t plane);
void* CVPixelBufferGetBaseAddressOfPlane(CVPixelBufferRef buffer, size_t plane);  // NULL unless locked

// `flags` is 0 (read-write) or kCVPixelBufferLock_ReadOnly; anything else, or a NULL buffer,
// is kCVReturnInvalidArgument.
CVReturn CVPixelBufferLockBaseAddress(CVPixelBufferRef buffer, CVPixelBufferLockFlags flags);
CVReturn CVPixelBufferUnlockBaseAddress(CVPixelBufferRef buffer, CVPixelBufferLockFlags flags);

// Stand-in controls and views for tests and for the other stand-ins (GL and Metal texture
// caches share a buffer's memory without a CPU lock).
namespace platform::corevideo {

struct LockState {
  int read_only = 0;
  int read_write = 0;
};
LockState GetLockState(CVPixelBufferRef buffer);

// True for buffers made with kCVPixelBufferIOSurfacePropertiesKey (directly or by a pool).
bool IsSurfaceBacked(CVPixelBufferRef buffer);

// One plane's memory and geometry, whether or not the buffer is locked. Plane 0 of a
// single-plane buffer is the whole image. An index beyond the planes gives all zeros.
struct Plane {
  uint8_t* data = nullptr;
  size_t width = 0;
  size_t height = 0;
  size_t bytes_per_row = 0;
  int bytes_per_pixel = 0;
};
Plane GetPlane(CVPixelBufferRef buffer, size_t plane);

}  // namespace platform::corevideo

#endif  // PLATFORM_COREVIDEO_PIXEL_BUFFER_H_
