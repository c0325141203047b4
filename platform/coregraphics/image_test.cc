#include "platform/coregraphics/image.h"

#include <cstdint>
#include <vector>

#include "gtest/gtest.h"
#include "platform/coregraphics/pixel_layout.h"

namespace {

using platform::coregraphics::LayoutForBitmap;
using platform::coregraphics::PixelLayout;

constexpr CGBitmapInfo kBgraStraight = kCGImageAlphaFirst | kCGBitmapByteOrder32Little;
constexpr CGBitmapInfo kBgraPremultiplied = kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little;

TEST(PixelLayoutTest, ByteOrderAndAlphaPlacement) {
  struct Case {
    CGBitmapInfo info;
    int r, g, b, a;
  };
  for (const Case& c : {Case{kBgraStraight, 2, 1, 0, 3}, Case{kCGImageAlphaLast, 0, 1, 2, 3},
                        Case{kCGImageAlphaFirst, 1, 2, 3, 0},
                        Case{kCGImageAlphaLast | kCGBitmapByteOrder32Little, 3, 2, 1, 0}}) {
    PixelLayout l;
    ASSERT_TRUE(LayoutForBitmap(8, 32, 3, c.info, &l)) << c.info;
    EXPECT_EQ(l.red, c.r) << c.info;
    EXPECT_EQ(l.green, c.g) << c.info;
    EXPECT_EQ(l.blue, c.b) << c.info;
    EXPECT_EQ(l.alpha, c.a) << c.info;
  }
  PixelLayout l;
  EXPECT_TRUE(LayoutForBitmap(8, 8, 1, kCGImageAlphaNone, &l));
  EXPECT_FALSE(LayoutForBitmap(16, 64, 3, kCGImageAlphaLast, &l));
  EXPECT_FALSE(LayoutForBitmap(8, 32, 3, kCGImageAlphaOnly, &l));
}

TEST(BitmapContextTest, DrawClearAndSnapshot) {
  // A 2 x 2 gray image, rows (10, 20) and (30, 40).
  CGColorSpaceRef gray = CGColorSpaceCreateDeviceGray();
  uint8_t gray_pixels[] = {10, 20, 30, 40};
  CGContextRef gray_context = CGBitmapContextCreate(gray_pixels, 2, 2, 8, 2, gray, kCGImageAlphaNone);
  ASSERT_NE(gray_context, nullptr);
  CGImageRef image = CGBitmapContextCreateImage(gray_context);
  gray_pixels[0] = 99;  // the image keeps its own copy
  EXPECT_EQ(platform::coregraphics::ImageBytes(image)[0], 10);

  CGColorSpaceRef rgb = CGColorSpaceCreateDeviceRGB();
  std::vector<uint8_t> bgra(2 * 2 * 4, 0x77);
  CGContextRef context = CGBitmapContextCreate(bgra.data(), 2, 2, 8, 8, rgb, kBgraPremultiplied);
  ASSERT_NE(context, nullptr);
  CGContextClearRect(context, CGRectMake(0, 0, 2, 2));
  EXPECT_EQ(bgra, std::vector<uint8_t>(16, 0));
  CGContextDrawImage(context, CGRectMake(0, 0, 2, 2), image);
  // Upright in memory, gray repeated, opaque.
  EXPECT_EQ(bgra, (std::vector<uint8_t>{10, 10, 10, 255, 20, 20, 20, 255, 30, 30, 30, 255, 40, 40,
                                        40, 255}));
  // The bottom-left unit square of user space is the first pixel of the last row.
  CGContextClearRect(context, CGRectMake(0, 0, 1, 1));
  EXPECT_EQ(bgra[8], 0);
  EXPECT_EQ(bgra[11], 0);
  EXPECT_EQ(bgra[0], 10);

  EXPECT_EQ(CGBitmapContextCreate(bgra.data(), 2, 2, 8, 8, nullptr, kBgraPremultiplied), nullptr);
  EXPECT_EQ(CGBitmapContextCreate(bgra.data(), 2, 2, 8, 4, rgb, kBgraPremultiplied), nullptr);
  CGContextRelease(context);
  CGContextRelease(gray_context);
  CGImageRelease(image);
  CGColorSpaceRelease(rgb);
  CGColorSpaceRelease(gray);
}

}  // namespace
