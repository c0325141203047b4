#include "platform/corevideo/pixel_format_description.h"

#include <cstdint>
#include <string>

#include "gtest/gtest.h"
#include "platform/corefoundation/core_foundation.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_format.h"

namespace {

int32_t Int32At(CFDictionaryRef d, CFStringRef key) {
  int32_t value = -1;
  auto number = static_cast<CFNumberRef>(CFDictionaryGetValue(d, key));
  EXPECT_NE(number, nullptr);
  if (number != nullptr) CFNumberGetValue(number, kCFNumberSInt32Type, &value);
  return value;
}

TEST(CVPixelFormatDescriptionTest, ListsEveryFormatWithItsLayout) {
  CFArrayRef formats = CVPixelFormatDescriptionArrayCreateWithAllPixelFormatTypes(kCFAllocatorDefault);
  ASSERT_EQ(CFArrayGetCount(formats), 12);
  int32_t first = 0;
  CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(formats, 0)), kCFNumberSInt32Type, &first);
  EXPECT_EQ(static_cast<OSType>(first), kCVPixelFormatType_32BGRA);
  CFRelease(formats);

  CFDictionaryRef bgra = CVPixelFormatDescriptionCreateWithPixelFormatType(nullptr, kCVPixelFormatType_32BGRA);
  EXPECT_STREQ(CFStringGetCStringPtr(static_cast<CFStringRef>(CFDictionaryGetValue(bgra, kCVPixelFormatName)),
                                     kCFStringEncodingUTF8),
               "32BGRA");
  EXPECT_EQ(Int32At(bgra, kCVPixelFormatConstant), static_cast<int32_t>(kCVPixelFormatType_32BGRA));
  EXPECT_EQ(Int32At(bgra, kCVPixelFormatBitsPerBlock), 32);
  EXPECT_EQ(CFDictionaryGetValue(bgra, kCVPixelFormatOpenGLESCompatibility), kCFBooleanTrue);
  CFRelease(bgra);

  CFDictionaryRef yuv =
      CVPixelFormatDescriptionCreateWithPixelFormatType(nullptr, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
  auto planes = static_cast<CFArrayRef>(CFDictionaryGetValue(yuv, kCVPixelFormatPlanes));
  ASSERT_NE(planes, nullptr);
  ASSERT_EQ(CFArrayGetCount(planes), 2);
  auto chroma = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(planes, 1));
  EXPECT_EQ(Int32At(chroma, kCVPixelFormatBitsPerBlock), 16);
  EXPECT_EQ(Int32At(chroma, kCVPixelFormatHorizontalSubsampling), 2);
  EXPECT_EQ(Int32At(chroma, kCVPixelFormatVerticalSubsampling), 2);
  EXPECT_FALSE(CFDictionaryContainsKey(yuv, kCVPixelFormatBitsPerBlock));
  CFRelease(yuv);

  EXPECT_EQ(CVPixelFormatDescriptionCreateWithPixelFormatType(nullptr, platform::corevideo::FourCharCode("nope")),
            nullptr);
}

}  // namespace
