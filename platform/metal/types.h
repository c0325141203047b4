#ifndef PLATFORM_METAL_TYPES_H_
#define PLATFORM_METAL_TYPES_H_

// Value types and enumerations of the CPU Metal device (see device.h for the whole picture).
//
// Enumeration values are the platform's own numbers, because code and tables elsewhere
// compare them as numbers (RGBA16Float is 115, BGRA8Unorm 80, R8Uint 13, ...).

#include <array>
#include <cstddef>
#include <cstdint>

using NSUInteger = unsigned long;

// Pixel formats. Only the ones listed in platform::metal::FindPixelFormatInfo (pixel_format.h)
// can back a texture here; others are rejected where a texture would be made.
enum MTLPixelFormat : NSUInteger {
  MTLPixelFormatInvalid = 0,
  MTLPixelFormatR8Unorm = 10,
  MTLPixelFormatR8Uint = 13,
  MTLPixelFormatR16Float = 25,
  MTLPixelFormatRG8Unorm = 30,
  MTLPixelFormatR32Float = 55,
  MTLPixelFormatRG16Float = 65,
  MTLPixelFormatRGBA8Unorm = 70,
  MTLPixelFormatBGRA8Unorm = 80,
  MTLPixelFormatRG32Float = 105,
  MTLPixelFormatRGBA16Float = 115,
  MTLPixelFormatRGBA32Float = 125,
};

// Resource options. All memory is ordinary CPU memory here, so the storage and cache modes
// are recorded and otherwise ignored.
using MTLResourceOptions = NSUInteger;
inline constexpr MTLResourceOptions MTLResourceCPUCacheModeDefaultCache = 0;
inline constexpr MTLResourceOptions MTLResourceStorageModeShared = 0;

enum MTLStorageMode : NSUInteger {
  MTLStorageModeShared = 0,
  MTLStorageModeManaged = 1,
  MTLStorageModePrivate = 2,
  MTLStorageModeMemoryless = 3,
};

// Texture usage bits, recorded but not enforced: any texture may be sampled, written by a
// kernel or rendered into.
using MTLTextureUsage = NSUInteger;
inline constexpr MTLTextureUsage MTLTextureUsageUnknown = 0;
inline constexpr MTLTextureUsage MTLTextureUsageShaderRead = 1;
inline constexpr MTLTextureUsage MTLTextureUsageShaderWrite = 2;
inline constexpr MTLTextureUsage MTLTextureUsageRenderTarget = 4;

// Only two-dimensional textures exist here.
enum MTLTextureType : NSUInteger {
  MTLTextureType2D = 2,
};

enum MTLLoadAction : NSUInteger {
  MTLLoadActionDontCare = 0,
  MTLLoadActionLoad = 1,
  MTLLoadActionClear = 2,
};

// Rendering writes straight into the attachment's memory, so every store action stores.
enum MTLStoreAction : NSUInteger {
  MTLStoreActionDontCare = 0,
  MTLStoreActionStore = 1,
};

// Only triangle lists are drawn here.
enum MTLPrimitiveType : NSUInteger {
  MTLPrimitiveTypeTriangle = 3,
};

enum MTLCommandBufferStatus : NSUInteger {
  MTLCommandBufferStatusNotEnqueued = 0,
  MTLCommandBufferStatusEnqueued = 1,
  MTLCommandBufferStatusCommitted = 2,
  MTLCommandBufferStatusScheduled = 3,
  MTLCommandBufferStatusCompleted = 4,
  MTLCommandBufferStatusError = 5,
};

enum MTLSamplerMinMagFilter : NSUInteger {
  MTLSamplerMinMagFilterNearest = 0,
  MTLSamplerMinMagFilterLinear = 1,
};

// Only clamp-to-edge addressing exists here.
enum MTLSamplerAddressMode : NSUInteger {
  MTLSamplerAddressModeClampToEdge = 0,
};

enum MTLFunctionType : NSUInteger {
  MTLFunctionTypeVertex = 1,
  MTLFunctionTypeFragment = 2,
  MTLFunctionTypeKernel = 3,
};

struct MTLOrigin {
  NSUInteger x = 0, y = 0, z = 0;
};

struct MTLSize {
  NSUInteger width = 0, height = 0, depth = 0;
};

struct MTLRegion {
  MTLOrigin origin;
  MTLSize size;
};

inline MTLRegion MTLRegionMake2D(NSUInteger x, NSUInteger y, NSUInteger width, NSUInteger height) {
  return MTLRegion{{x, y, 0}, {width, height, 1}};
}
inline MTLSize MTLSizeMake(NSUInteger width, NSUInteger height, NSUInteger depth) {
  return MTLSize{width, height, depth};
}

struct MTLClearColor {
  double red = 0, green = 0, blue = 0, alpha = 1;
};
inline MTLClearColor MTLClearColorMake(double red, double green, double blue, double alpha) {
  return MTLClearColor{red, green, blue, alpha};
}

namespace platform::metal {

// A four-component value as shaders see it: a colour (r, g, b, a), a clip-space position
// (x, y, z, w) or a texture coordinate.
using float4 = std::array<float, 4>;

}  // namespace platform::metal

#endif  // PLATFORM_METAL_TYPES_H_
