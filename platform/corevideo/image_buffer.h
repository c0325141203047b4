#ifndef PLATFORM_COREVIDEO_IMAGE_BUFFER_H_
#define PLATFORM_COREVIDEO_IMAGE_BUFFER_H_

// Image-buffer attachment values: where the chroma samples of a subsampled Y'CbCr image sit.
// Converters (the Accelerate stand-in) take them to describe a Core Video image format.

#include "platform/corefoundation/cf_string.h"

extern const CFStringRef kCVImageBufferChromaLocation_Left;
extern const CFStringRef kCVImageBufferChromaLocation_Center;

#endif  // PLATFORM_COREVIDEO_IMAGE_BUFFER_H_
