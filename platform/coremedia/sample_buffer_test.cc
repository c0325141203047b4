#include "platform/coremedia/sample_buffer.h"

#include "gtest/gtest.h"

namespace {

TEST(CMSampleBuffer, HoldsImageAndTimingAndRetainsTheImage) {
  CVPixelBufferRef pixels = nullptr;
  ASSERT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 4, 2, kCVPixelFormatType_32BGRA, nullptr,
                                &pixels),
            kCVReturnSuccess);
  const CMSampleTimingInfo timing = {CMTimeMake(1, 30), CMTimeMake(7, 30), kCMTimeInvalid};
  CMSampleBufferRef sample = nullptr;
  ASSERT_EQ(CMSampleBufferCreateReadyWithImageBuffer(kCFAllocatorDefault, pixels, nullptr, &timing,
                                                     &sample),
            0);
  CVPixelBufferRelease(pixels);  // the sample keeps it
  EXPECT_EQ(CMSampleBufferGetImageBuffer(sample), pixels);
  EXPECT_EQ(CVPixelBufferGetWidth(CMSampleBufferGetImageBuffer(sample)), 4u);
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(CMSampleBufferGetPresentationTimeStamp(sample)), 7.0 / 30);
  CFRelease(sample);

  CMSampleBufferRef none = nullptr;
  EXPECT_EQ(CMSampleBufferCreateReadyWithImageBuffer(kCFAllocatorDefault, nullptr, nullptr,
                                                     &timing, &none),
            kCMSampleBufferError_RequiredParameterMissing);
  EXPECT_EQ(none, nullptr);
  CMSampleBufferRef empty = platform::coremedia::CreateSampleBufferWithoutImage(timing);
  EXPECT_EQ(CMSampleBufferGetImageBuffer(empty), nullptr);
  EXPECT_TRUE(CMTIME_IS_VALID(CMSampleBufferGetPresentationTimeStamp(empty)));
  CFRelease(empty);
}

}  // namespace
