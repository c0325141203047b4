#include "platform/metal/cv_metal_texture_cache.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "platform/corevideo/core_video.h"
#include "platform/metal/metal.h"

namespace {

using platform::corevideo::GetPlane;
using platform::metal::float4;

class CVMetalTextureCacheTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CVMetalTextureCacheCreate(kCFAllocatorDefault, nullptr, device_, nullptr, &cache_), kCVReturnSuccess);
  }
  void TearDown() override { CFRelease(cache_); }

  CVPixelBufferRef Buffer(size_t width, size_t height, OSType format) {
    CVPixelBufferRef buffer = nullptr;
    EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, format, nullptr, &buffer), kCVReturnSuccess);
    return buffer;
  }

  std::shared_ptr<MTLDevice> device_ = MTLCreateSystemDefaultDevice();
  CVMetalTextureCacheRef cache_ = nullptr;
};

TEST_F(CVMetalTextureCacheTest, TextureIsThePlanesMemoryAndKeepsTheBufferAlive) {
  CVPixelBufferRef buffer = Buffer(4, 3, kCVPixelFormatType_32BGRA);
  CVMetalTextureRef cv_texture = nullptr;
  ASSERT_EQ(CVMetalTextureCacheCreateTextureFromImage(kCFAllocatorDefault, cache_, buffer, nullptr,
                                                      MTLPixelFormatBGRA8Unorm, 4, 3, 0, &cv_texture),
            kCVReturnSuccess);
  EXPECT_EQ(CFGetTypeID(cv_texture), CVMetalTextureGetTypeID());
  std::shared_ptr<MTLTexture> texture = CVMetalTextureGetTexture(cv_texture);
  ASSERT_NE(texture, nullptr);
  EXPECT_EQ(texture->width(), 4u);
  EXPECT_EQ(texture->height(), 3u);
  EXPECT_EQ(texture->pixelFormat(), MTLPixelFormatBGRA8Unorm);

  // Work committed on the device writes the pixel buffer...
  auto pass = MTLRenderPassDescriptor::renderPassDescriptor();
  pass->colorAttachments()[0].setTexture(texture);
  pass->colorAttachments()[0].setLoadAction(MTLLoadActionClear);
  pass->colorAttachments()[0].setClearColor(MTLClearColorMake(1, 0, 0, 1));
  auto commands = device_->newCommandQueue()->commandBuffer();
  commands->renderCommandEncoderWithDescriptor(pass)->endEncoding();
  commands->commit();
  ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), kCVReturnSuccess);
  auto* base = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(buffer));
  const size_t row = CVPixelBufferGetBytesPerRow(buffer);
  EXPECT_EQ(std::memcmp(base + 2 * row + 3 * 4, "\x00\x00\xff\xff", 4), 0) << "red in BGRA order";
  // ...and the device reads what the CPU writes there.
  std::memcpy(base + 1 * row + 2 * 4, "\xff\x00\x00\xff", 4);
  ASSERT_EQ(CVPixelBufferUnlockBaseAddress(buffer, 0), kCVReturnSuccess);
  EXPECT_EQ(texture->readTexel(2, 1), (float4{0, 0, 1, 1}));

  const CFIndex count = CFGetRetainCount(buffer);
  CFRelease(cv_texture);
  CVPixelBufferRelease(buffer);
  EXPECT_EQ(count, 2) << "the texture holds one reference";
  EXPECT_EQ(texture->readTexel(2, 1), (float4{0, 0, 1, 1})) << "still readable after both releases";
  CVMetalTextureCacheFlush(cache_, 0);
}

TEST_F(CVMetalTextureCacheTest, BiPlanarPlanesGetTheirOwnTextures) {
  CVPixelBufferRef buffer = Buffer(640, 480, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
  struct Case {
    size_t plane;
    MTLPixelFormat format;
    size_t width, height;
  };
  for (const Case& c : {Case{0, MTLPixelFormatR8Unorm, 640, 480}, Case{1, MTLPixelFormatRG8Unorm, 320, 240}}) {
    CVMetalTextureRef cv_texture = nullptr;
    ASSERT_EQ(CVMetalTextureCacheCreateTextureFromImage(kCFAllocatorDefault, cache_, buffer, nullptr, c.format,
                                                        c.width, c.height, c.plane, &cv_texture),
              kCVReturnSuccess)
        << c.plane;
    auto texture = CVMetalTextureGetTexture(cv_texture);
    const platform::corevideo::Plane plane = GetPlane(buffer, c.plane);
    EXPECT_EQ(texture->texelAddress(0, 0), plane.data) << c.plane;
    EXPECT_EQ(texture->texelAddress(1, 2), plane.data + 2 * plane.bytes_per_row + plane.bytes_per_pixel) << c.plane;
    EXPECT_EQ(texture->width(), c.width);
    EXPECT_EQ(texture->height(), c.height);
    CFRelease(cv_texture);
  }
  CVPixelBufferRelease(buffer);
}

TEST_F(CVMetalTextureCacheTest, RefusedTexturesAndCaches) {
  CVPixelBufferRef bgra = Buffer(8, 4, kCVPixelFormatType_32BGRA);
  CVPixelBufferRef yuv = Buffer(8, 4, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
  struct Case {
    std::string name;
    CVMetalTextureCacheRef cache;
    CVPixelBufferRef buffer;
    MTLPixelFormat format;
    size_t width, height, plane;
    CVReturn expected;
  };
  const Case cases[] = {
      {"no cache", nullptr, bgra, MTLPixelFormatBGRA8Unorm, 8, 4, 0, kCVReturnInvalidArgument},
      {"no image", cache_, nullptr, MTLPixelFormatBGRA8Unorm, 8, 4, 0, kCVReturnInvalidArgument},
      {"plane 1 of a single-plane buffer", cache_, bgra, MTLPixelFormatBGRA8Unorm, 8, 4, 1, kCVReturnInvalidArgument},
      {"plane 2 of a bi-planar buffer", cache_, yuv, MTLPixelFormatR8Unorm, 8, 4, 2, kCVReturnInvalidArgument},
      {"invalid format", cache_, bgra, MTLPixelFormatInvalid, 8, 4, 0, kCVReturnInvalidPixelFormat},
      {"texel size differs from the plane's", cache_, bgra, MTLPixelFormatR8Unorm, 8, 4, 0,
       kCVReturnPixelBufferNotMetalCompatible},
      {"wider than the plane", cache_, yuv, MTLPixelFormatRG8Unorm, 8, 2, 1, kCVReturnInvalidSize},
      {"zero height", cache_, bgra, MTLPixelFormatBGRA8Unorm, 8, 0, 0, kCVReturnInvalidSize},
  };
  for (const Case& c : cases) {
    CVMetalTextureRef texture = nullptr;
    EXPECT_EQ(CVMetalTextureCacheCreateTextureFromImage(kCFAllocatorDefault, c.cache, c.buffer, nullptr, c.format,
                                                        c.width, c.height, c.plane, &texture),
              c.expected)
        << c.name;
    EXPECT_EQ(texture, nullptr) << c.name;
  }
  EXPECT_EQ(CVMetalTextureCacheCreateTextureFromImage(kCFAllocatorDefault, cache_, bgra, nullptr,
                                                      MTLPixelFormatBGRA8Unorm, 8, 4, 0, nullptr),
            kCVReturnInvalidArgument);
  CVPixelBufferRelease(bgra);
  CVPixelBufferRelease(yuv);

  CVMetalTextureCacheRef no_cache = nullptr;
  EXPECT_EQ(CVMetalTextureCacheCreate(kCFAllocatorDefault, nullptr, nullptr, nullptr, &no_cache),
            kCVReturnInvalidArgument);
  EXPECT_EQ(no_cache, nullptr);
  EXPECT_EQ(CVMetalTextureGetTexture(nullptr), nullptr);
}

}  // namespace
