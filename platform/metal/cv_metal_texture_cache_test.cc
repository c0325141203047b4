#include "platform/metal/cv_metal_texture_cache.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
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

constexpr char kCopySource[] = "vertex quad(); fragment copy();";

[[maybe_unused]] const bool kRegistered = platform::metal::RegisterShaderLibrary(
    kCopySource,
    {platform::metal::VertexShader("quad",
                                   [](uint32_t vid, const platform::metal::ArgumentTable&) {
                                     constexpr float kCorners[6][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}};
                                     platform::metal::VertexOut out;
                                     out.position = {kCorners[vid][0] * 2 - 1, 1 - kCorners[vid][1] * 2, 0, 1};
                                     out.varyings[0] = kCorners[vid][0];
                                     out.varyings[1] = kCorners[vid][1];
                                     return out;
                                   }),
     platform::metal::FragmentShader("copy", [](const platform::metal::FragmentIn& in,
                                                const platform::metal::ArgumentTable& args) {
       return args.texture(0)->sample(platform::metal::LinearClampSampler(), in.varyings[0], in.varyings[1]);
     })});

// The road of a camera frame into a model: pixel buffer -> texture cache -> render pass ->
// half-float texture view of a buffer over caller memory. Nothing is copied on the way.
TEST_F(CVMetalTextureCacheTest, FrameRendersIntoATensorBufferThroughTextureViews) {
  constexpr int kSize = 4;
  CVPixelBufferRef frame = Buffer(kSize, kSize, kCVPixelFormatType_32BGRA);
  const platform::corevideo::Plane plane = GetPlane(frame, 0);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      uint8_t* bgra = plane.data + y * plane.bytes_per_row + x * 4;
      bgra[0] = 0;                               // blue
      bgra[1] = static_cast<uint8_t>(y * 85);    // green
      bgra[2] = static_cast<uint8_t>(x * 85);    // red
      bgra[3] = 255;
    }
  }
  CVMetalTextureRef cv_texture = nullptr;
  ASSERT_EQ(CVMetalTextureCacheCreateTextureFromImage(kCFAllocatorDefault, cache_, frame, nullptr,
                                                      MTLPixelFormatBGRA8Unorm, kSize, kSize, 0, &cv_texture),
            kCVReturnSuccess);

  const size_t page = getpagesize();
  auto* tensor = static_cast<uint16_t*>(std::aligned_alloc(page, page));
  std::memset(tensor, 0xff, page);
  auto buffer = device_->newBufferWithBytesNoCopy(tensor, page, 0, nullptr);
  auto view_descriptor =
      MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA16Float, kSize, kSize, false);
  view_descriptor->setUsage(MTLTextureUsageRenderTarget);
  auto view = buffer->newTextureWithDescriptor(view_descriptor, 0, kSize * 8);
  ASSERT_NE(view, nullptr);

  auto library = device_->newLibraryWithSource(kCopySource, nullptr, nullptr);
  auto pipeline_descriptor = std::make_shared<MTLRenderPipelineDescriptor>();
  pipeline_descriptor->setVertexFunction(library->newFunctionWithName("quad"));
  pipeline_descriptor->setFragmentFunction(library->newFunctionWithName("copy"));
  pipeline_descriptor->colorAttachments()[0].setPixelFormat(MTLPixelFormatRGBA16Float);
  auto pass = MTLRenderPassDescriptor::renderPassDescriptor();
  pass->colorAttachments()[0].setTexture(view);
  pass->colorAttachments()[0].setLoadAction(MTLLoadActionClear);
  auto commands = device_->newCommandQueue()->commandBuffer();
  auto encoder = commands->renderCommandEncoderWithDescriptor(pass);
  encoder->setRenderPipelineState(device_->newRenderPipelineStateWithDescriptor(pipeline_descriptor, nullptr));
  encoder->setFragmentTexture(CVMetalTextureGetTexture(cv_texture), 0);
  encoder->drawPrimitives(MTLPrimitiveTypeTriangle, 0, 6);
  encoder->endEncoding();
  CFRelease(cv_texture);
  CVPixelBufferRelease(frame);  // the encoded pass holds the texture, the texture the frame
  commands->commit();
  commands->waitUntilCompleted();

  // Same size, so every output texel centre is an input texel centre: an exact copy, in
  // (r, g, b, a) order, four halves per pixel.
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const uint16_t* halves = tensor + (y * kSize + x) * 4;
      EXPECT_EQ(halves[0], platform::metal::FloatToHalf(x * 85 / 255.0f)) << x << ", " << y;
      EXPECT_EQ(halves[1], platform::metal::FloatToHalf(y * 85 / 255.0f)) << x << ", " << y;
      EXPECT_EQ(halves[2], 0) << x << ", " << y;
      EXPECT_EQ(halves[3], 0x3c00) << x << ", " << y;
    }
  }
  EXPECT_EQ(tensor[kSize * kSize * 4], 0xffff) << "nothing written past the view";
  buffer.reset();
  view.reset();
  std::free(tensor);
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
