#include "face_ml/metal_resources.h"

#include <unistd.h>

#include <ostream>
#include <string>

#include "base/status_test_util.h"
#include "gtest/gtest.h"
#include "platform/corevideo/pixel_format.h"

namespace research::sorvanti {
namespace {

using api::internal::MetalCommandBuffer;
using api::internal::MetalTextureCache;
using flow::metal::GetMetalPixelFormat;
using flow::metal::MetalBuffer;
using flow::metal::MetalTexture;

CVPixelBufferRef MakePixelBuffer(OSType format, int width, int height) {
  CVPixelBufferRef buffer = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, format, nullptr, &buffer),
            kCVReturnSuccess);
  return buffer;
}

struct FormatCase {
  const char* name;
  OSType format;
  int plane;
  MTLPixelFormat expected;  // Invalid: the lookup fails with `error`
  const char* error;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class PixelFormatTest : public testing::TestWithParam<FormatCase> {};

TEST_P(PixelFormatTest, MapsFormatAndPlane) {
  const FormatCase& c = GetParam();
  CVPixelBufferRef buffer = MakePixelBuffer(c.format, 64, 48);
  int height = -1, width = -1;
  auto format = GetMetalPixelFormat(buffer, c.plane, &height, &width);
  if (c.expected == MTLPixelFormatInvalid) {
    ASSERT_FALSE(format.ok());
    EXPECT_NE(format.status().message().find(c.error), std::string::npos) << format.status();
  } else {
    ASSERT_TRUE(format.ok()) << format.status();
    EXPECT_EQ(*format, c.expected);
    const bool biplanar = c.format == kCVPixelFormatType_420YpCbCr8BiPlanarFullRange;
    // The two-plane formats answer with the plane's own size; the others leave it alone.
    EXPECT_EQ(height, biplanar ? (c.plane == 0 ? 48 : 24) : -1);
    EXPECT_EQ(width, biplanar ? (c.plane == 0 ? 64 : 32) : -1);
  }
  CVPixelBufferRelease(buffer);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PixelFormatTest,
    testing::Values(
        FormatCase{"BGRA", kCVPixelFormatType_32BGRA, 0, MTLPixelFormatBGRA8Unorm, ""},
        FormatCase{"L008", kCVPixelFormatType_OneComponent8, 0, MTLPixelFormatR8Uint, ""},
        FormatCase{"L00f", kCVPixelFormatType_OneComponent32Float, 0, MTLPixelFormatR32Float, ""},
        FormatCase{"RGhA", kCVPixelFormatType_64RGBAHalf, 0, MTLPixelFormatRGBA16Float, ""},
        FormatCase{"TwoHalf", kCVPixelFormatType_TwoComponent16Half, 0, MTLPixelFormatRG16Float,
                   ""},
        FormatCase{"Luma", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 0,
                   MTLPixelFormatR8Unorm, ""},
        FormatCase{"Chroma", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 1,
                   MTLPixelFormatRG8Unorm, ""},
        FormatCase{"BiplanarPlane2", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 2,
                   MTLPixelFormatInvalid, "Invalid plane number"},
        FormatCase{"BgraPlane1", kCVPixelFormatType_32BGRA, 1, MTLPixelFormatInvalid,
                   "plane == 0 Invalid plane number"},
        FormatCase{"Rgba", kCVPixelFormatType_32RGBA, 0, MTLPixelFormatInvalid,
                   "Invalid pixel buffer format"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MetalTextureTest, ChromaPlaneIsHalfTheFrameAndSharesItsMemory) {
  auto device = MTLCreateSystemDefaultDevice();
  auto cache = MetalTextureCache::Make(device);
  ASSERT_TRUE(cache.ok()) << cache.status();
  CVPixelBufferRef buffer = MakePixelBuffer(kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 64, 48);
  // The caller's size is replaced by the plane's.
  auto texture = MetalTexture::Make(cache->cache(), buffer, 1, 64, 48);
  ASSERT_TRUE(texture.ok()) << texture.status();
  EXPECT_EQ(texture->texture()->pixelFormat(), MTLPixelFormatRG8Unorm);
  EXPECT_EQ(texture->texture()->width(), 32u);
  EXPECT_EQ(texture->texture()->height(), 24u);

  ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), kCVReturnSuccess);
  static_cast<uint8_t*>(CVPixelBufferGetBaseAddressOfPlane(buffer, 1))[0] = 255;
  CVPixelBufferUnlockBaseAddress(buffer, 0);
  EXPECT_EQ(texture->texture()->readTexel(0, 0)[0], 1.0f);
  CVPixelBufferRelease(buffer);
}

TEST(MetalTextureTest, SizeLargerThanThePlaneIsAnError) {
  auto device = MTLCreateSystemDefaultDevice();
  auto cache = MetalTextureCache::Make(device);
  ASSERT_TRUE(cache.ok());
  CVPixelBufferRef buffer = MakePixelBuffer(kCVPixelFormatType_32BGRA, 16, 16);
  auto texture = MetalTexture::Make(cache->cache(), buffer, 0, 32, 16);
  EXPECT_FALSE(texture.ok());
  EXPECT_NE(texture.status().message().find("Can't create CVMetalTextureRef: "),
            std::string::npos);
  CVPixelBufferRelease(buffer);
}

TEST(MetalTextureCacheTest, NullDeviceFailsAndMovesLeaveOneOwner) {
  auto failed = MetalTextureCache::Make(nullptr);
  ASSERT_FALSE(failed.ok());
  EXPECT_NE(failed.status().message().find("Error at CVMetalTextureCacheCreate: "),
            std::string::npos);

  auto made = MetalTextureCache::Make(MTLCreateSystemDefaultDevice());
  ASSERT_TRUE(made.ok());
  CVMetalTextureCacheRef raw = made->cache();
  MetalTextureCache moved = std::move(made).value();
  EXPECT_EQ(moved.cache(), raw);
  EXPECT_EQ(CFGetRetainCount(raw), 1);
}

TEST(MetalBufferTest, LengthsAreWholePages) {
  auto device = MTLCreateSystemDefaultDevice();
  const size_t page = static_cast<size_t>(getpagesize());
  for (size_t size : {size_t{1}, page, page + 1}) {
    auto buffer = MetalBuffer::Make(device, size);
    ASSERT_TRUE(buffer.ok()) << buffer.status();
    EXPECT_EQ(buffer->buffer()->length(), (size + page - 1) / page * page) << size;
  }
  EXPECT_FALSE(MetalBuffer::Make(nullptr, 16).ok());
}

TEST(MetalBufferTest, SpanFormWrapsCallerMemory) {
  auto device = MTLCreateSystemDefaultDevice();
  const size_t page = static_cast<size_t>(getpagesize());
  void* memory = nullptr;
  ASSERT_EQ(posix_memalign(&memory, page, page), 0);
  auto buffer = MetalBuffer::Make(device, absl::Span<char>(static_cast<char*>(memory), 10));
  ASSERT_TRUE(buffer.ok()) << buffer.status();
  EXPECT_EQ(buffer->buffer()->contents(), memory);
  EXPECT_EQ(buffer->buffer()->length(), page);
  buffer = absl::InternalError("released");
  // Memory that is not page-aligned cannot be wrapped.
  auto unaligned =
      MetalBuffer::Make(device, absl::Span<char>(static_cast<char*>(memory) + 1, 10));
  EXPECT_NE(unaligned.status().message().find("Can't create Metal buffer"), std::string::npos);
  free(memory);
}

TEST(MetalCommandBufferTest, EveryWaitTypeRunsTheWork) {
  auto queue = MTLCreateSystemDefaultDevice()->newCommandQueue();
  for (auto wait : {MetalCommandBuffer::kWaitUntilCompleted,
                    MetalCommandBuffer::kSpinUntilCompleted, MetalCommandBuffer::kCommitOnly}) {
    auto commands = MetalCommandBuffer::Make(queue);
    ASSERT_TRUE(commands.ok());
    int runs = 0;
    auto encoder = commands->command_buffer()->computeCommandEncoder();
    encoder->dispatchTask([&] { ++runs; });
    encoder->endEncoding();
    commands->CommitAndWait(wait);
    EXPECT_EQ(runs, 1) << wait;
    EXPECT_EQ(commands->command_buffer()->status(), MTLCommandBufferStatusCompleted);
  }
  EXPECT_NE(MetalCommandBuffer::Make(nullptr).status().message().find("Can't create command buffer"),
            std::string::npos);
}

}  // namespace
}  // namespace research::sorvanti
