#ifndef PLATFORM_METAL_TEXTURE_INTERNAL_H_
#define PLATFORM_METAL_TEXTURE_INTERNAL_H_

// Shared by the places that make textures (device, buffers, texture cache).

#include "platform/metal/pixel_format.h"
#include "platform/metal/texture.h"

namespace platform::metal::internal {

// The format of a descriptor that can back a texture here (2D, one level, a non-zero size,
// a known format), else null.
const PixelFormatInfo* UsableTextureFormat(const MTLTextureDescriptor& descriptor);

}  // namespace platform::metal::internal

#endif  // PLATFORM_METAL_TEXTURE_INTERNAL_H_
