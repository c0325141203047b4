#ifndef PLATFORM_COREVIDEO_CORE_VIDEO_H_
#define PLATFORM_COREVIDEO_CORE_VIDEO_H_

// Everything of the Core Video stand-in: result codes, pixel formats and their descriptions,
// pixel buffers, pools and the failure injection of tests.

#include "platform/corevideo/cv_return.h"
#include "platform/corevideo/failure_injection.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_buffer_pool.h"
#include "platform/corevideo/pixel_format.h"
#include "platform/corevideo/pixel_format_description.h"

#endif  // PLATFORM_COREVIDEO_CORE_VIDEO_H_
