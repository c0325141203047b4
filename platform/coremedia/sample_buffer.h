#ifndef PLATFORM_COREMEDIA_SAMPLE_BUFFER_H_
#define PLATFORM_COREMEDIA_SAMPLE_BUFFER_H_

// Core Media sample buffers, reduced to what video capture hands over: one image buffer and
// its timing.
//
//   CMSampleTimingInfo timing = {CMTimeMake(1, 30), CMTimeMake(2, 30), kCMTimeInvalid};
//   CMSampleBufferRef sample = NULL;
//   CMSampleBufferCreateReadyWithImageBuffer(kCFAllocatorDefault, pixels, NULL, &timing, &sample);
//   CVImageBufferRef image = CMSampleBufferGetImageBuffer(sample);        // not retained
//   double t = CMTimeGetSeconds(CMSampleBufferGetPresentationTimeStamp(sample));
//   CFRelease(sample);
//
// A sample buffer is a Core Foundation object; it retains its image buffer for its whole life.
// Format descriptions are not modelled: the argument is accepted and ignored. Getters of a
// NULL sample answer NULL / kCMTimeInvalid. Thread-safe (a sample buffer never changes).

#include "platform/coremedia/media_time.h"
#include "platform/corefoundation/object.h"
#include "platform/corevideo/pixel_buffer.h"

using OSStatus = int32_t;
inline constexpr OSStatus kCMSampleBufferError_RequiredParameterMissing = -12731;

struct CMSampleBufferObject;
using CMSampleBufferRef = CMSampleBufferObject*;

struct CMSampleTimingInfo {
  CMTime duration;
  CMTime presentationTimeStamp;
  CMTime decodeTimeStamp;
};

// A ready sample over `image_buffer` (retained) with the given timing. A NULL image buffer,
// timing or `out` fails with kCMSampleBufferError_RequiredParameterMissing.
OSStatus CMSampleBufferCreateReadyWithImageBuffer(CFAllocatorRef allocator,
                                                  CVImageBufferRef image_buffer,
                                                  const void* format_description,
                                                  const CMSampleTimingInfo* timing,
                                                  CMSampleBufferRef* out);

CVImageBufferRef CMSampleBufferGetImageBuffer(CMSampleBufferRef sample);
CMTime CMSampleBufferGetPresentationTimeStamp(CMSampleBufferRef sample);
CMTime CMSampleBufferGetDuration(CMSampleBufferRef sample);

namespace platform::coremedia {

// A sample with timing and no image buffer (count 1), as a capture output may deliver for
// dropped or non-video samples; lets tests drive the "no image" path.
CMSampleBufferRef CreateSampleBufferWithoutImage(const CMSampleTimingInfo& timing);

}  // namespace platform::coremedia

#endif  // PLATFORM_COREMEDIA_SAMPLE_BUFFER_H_
