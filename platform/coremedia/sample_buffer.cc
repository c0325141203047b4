#include "platform/coremedia/sample_buffer.h"

struct CMSampleBufferObject : platform::corefoundation::Object {
  CMSampleBufferObject(CVImageBufferRef image, const CMSampleTimingInfo& timing)
      : Object(TypeID()), image(image), timing(timing) {
    if (image != nullptr) CVPixelBufferRetain(image);
  }
  ~CMSampleBufferObject() override {
    if (image != nullptr) CVPixelBufferRelease(image);
  }
  static CFTypeID TypeID() {
    static const CFTypeID id = platform::corefoundation::RegisterTypeID();
    return id;
  }

  CVImageBufferRef const image;
  const CMSampleTimingInfo timing;
};

OSStatus CMSampleBufferCreateReadyWithImageBuffer(CFAllocatorRef, CVImageBufferRef image_buffer,
                                                  const void*, const CMSampleTimingInfo* timing,
                                                  CMSampleBufferRef* out) {
  if (image_buffer == nullptr || timing == nullptr || out == nullptr) {
    return kCMSampleBufferError_RequiredParameterMissing;
  }
  *out = new CMSampleBufferObject(image_buffer, *timing);
  return 0;
}

CVImageBufferRef CMSampleBufferGetImageBuffer(CMSampleBufferRef sample) {
  return sample == nullptr ? nullptr : sample->image;
}

CMTime CMSampleBufferGetPresentationTimeStamp(CMSampleBufferRef sample) {
  return sample == nullptr ? kCMTimeInvalid : sample->timing.presentationTimeStamp;
}

CMTime CMSampleBufferGetDuration(CMSampleBufferRef sample) {
  return sample == nullptr ? kCMTimeInvalid : sample->timing.duration;
}

namespace platform::coremedia {

CMSampleBufferRef CreateSampleBufferWithoutImage(const CMSampleTimingInfo& timing) {
  return new CMSampleBufferObject(nullptr, timing);
}

}  // namespace platform::coremedia
