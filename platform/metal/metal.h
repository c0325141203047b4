#ifndef PLATFORM_METAL_METAL_H_
#define PLATFORM_METAL_METAL_H_

// Everything of the CPU Metal device (device.h explains it) and the Core Video Metal texture
// cache.

#include "platform/metal/buffer.h"
#include "platform/metal/command_buffer.h"
#include "platform/metal/cv_metal_texture_cache.h"
#include "platform/metal/device.h"
#include "platform/metal/half.h"
#include "platform/metal/library.h"
#include "platform/metal/pipeline.h"
#include "platform/metal/pixel_format.h"
#include "platform/metal/texture.h"
#include "platform/metal/types.h"

#endif  // PLATFORM_METAL_METAL_H_
