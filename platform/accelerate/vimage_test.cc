#include "platform/accelerate/vimage.h"

#include <cstdint>
#include <vector>

#include "gtest/gtest.h"
#include "platform/corevideo/image_buffer.h"
#include "platform/corevideo/pixel_format.h"

namespace {

vImage_Buffer BufferOf(std::vector<uint8_t>& bytes, unsigned long width, unsigned long height,
                       size_t row_bytes) {
  return vImage_Buffer{bytes.data(), height, width, row_bytes};
}

TEST(VImageTest, PermuteChannels) {
  // Two rows of one pixel, rows 8 bytes apart.
  std::vector<uint8_t> src = {1, 2, 3, 4, 0, 0, 0, 0, 5, 6, 7, 8, 0, 0, 0, 0};
  std::vector<uint8_t> dst(8);
  vImage_Buffer in = BufferOf(src, 1, 2, 8);
  vImage_Buffer out = BufferOf(dst, 1, 2, 4);
  const uint8_t swap[4] = {2, 1, 0, 3};
  ASSERT_EQ(vImagePermuteChannels_ARGB8888(&in, &out, swap, kvImageNoFlags), kvImageNoError);
  EXPECT_EQ(dst, (std::vector<uint8_t>{3, 2, 1, 4, 7, 6, 5, 8}));
  // In place.
  ASSERT_EQ(vImagePermuteChannels_ARGB8888(&out, &out, swap, kvImageNoFlags), kvImageNoError);
  EXPECT_EQ(dst, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

  const uint8_t bad[4] = {0, 1, 2, 4};
  EXPECT_EQ(vImagePermuteChannels_ARGB8888(&in, &out, bad, kvImageNoFlags), kvImageInvalidParameter);
  vImage_Buffer wide = BufferOf(dst, 2, 2, 8);
  EXPECT_EQ(vImagePermuteChannels_ARGB8888(&out, &wide, swap, kvImageNoFlags),
            kvImageRoiLargerThanInputBuffer);
  EXPECT_EQ(vImagePermuteChannels_ARGB8888(nullptr, &out, swap, kvImageNoFlags),
            kvImageNullPointerArgument);
}

TEST(VImageTest, ConvertersBetweenGrayAndBgra) {
  CGColorSpaceRef gray_space = CGColorSpaceCreateDeviceGray();
  const vImage_CGImageFormat gray = {8, 8, gray_space, kCGImageAlphaNone, 0, nullptr, 0};
  const vImage_CGImageFormat bgra = {8, 32, nullptr, kCGImageAlphaFirst | kCGBitmapByteOrder32Little,
                                     0, nullptr, 0};
  const CGFloat white[3] = {1, 1, 1};
  vImage_Error error = 1;

  vImageCVImageFormatRef cv_bgra = vImageCVImageFormat_Create(
      kCVPixelFormatType_32BGRA, kvImage_ARGBToYpCbCrMatrix_ITU_R_709_2,
      kCVImageBufferChromaLocation_Center, nullptr, 1);
  ASSERT_NE(cv_bgra, nullptr);
  vImageConverterRef to_bgra =
      vImageConverter_CreateForCGToCVImageFormat(&gray, cv_bgra, white, kvImageNoFlags, &error);
  ASSERT_NE(to_bgra, nullptr);
  EXPECT_EQ(error, kvImageNoError);
  std::vector<uint8_t> gray_pixels = {0, 128, 255}, bgra_pixels(12, 9);
  vImage_Buffer g = BufferOf(gray_pixels, 3, 1, 3), c = BufferOf(bgra_pixels, 3, 1, 12);
  ASSERT_EQ(vImageConvert_AnyToAny(to_bgra, &g, &c, nullptr, kvImageNoFlags), kvImageNoError);
  EXPECT_EQ(bgra_pixels, (std::vector<uint8_t>{0, 0, 0, 255, 128, 128, 128, 255, 255, 255, 255, 255}));

  // Back to gray: pure colours give their Rec. 709 weights; half-transparent black lies on white.
  bgra_pixels = {0, 0, 255, 255, 0, 255, 0, 255, 0, 0, 0, 128};
  vImageConverterRef to_gray =
      vImageConverter_CreateWithCGImageFormat(&bgra, &gray, white, kvImageNoFlags, &error);
  ASSERT_NE(to_gray, nullptr);
  ASSERT_EQ(vImageConvert_AnyToAny(to_gray, &c, &g, nullptr, kvImageNoFlags), kvImageNoError);
  EXPECT_EQ(gray_pixels, (std::vector<uint8_t>{54, 182, 127}));

  vImage_Buffer short_gray = BufferOf(gray_pixels, 2, 1, 3);
  EXPECT_EQ(vImageConvert_AnyToAny(to_gray, &c, &short_gray, nullptr, kvImageNoFlags),
            kvImageBufferSizeMismatch);

  // Y'CbCr is not converted here; unsupported layouts are refused.
  EXPECT_EQ(vImageCVImageFormat_Create(kCVPixelFormatType_420YpCbCr8BiPlanarFullRange,
                                       kvImage_ARGBToYpCbCrMatrix_ITU_R_709_2,
                                       kCVImageBufferChromaLocation_Center, nullptr, 1),
            nullptr);
  const vImage_CGImageFormat float_rgba = {32, 128, nullptr, kCGImageAlphaLast | kCGBitmapFloatComponents,
                                           0, nullptr, 0};
  EXPECT_EQ(vImageConverter_CreateWithCGImageFormat(&float_rgba, &gray, white, kvImageNoFlags, &error),
            nullptr);
  EXPECT_EQ(error, kvImageInvalidImageFormat);

  vImageConverter_Release(to_gray);
  vImageConverter_Release(to_bgra);
  vImageCVImageFormat_Release(cv_bgra);
  CGColorSpaceRelease(gray_space);
}

}  // namespace
