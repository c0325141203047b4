// Buffers, textures and texel formats of the CPU Metal device.

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/metal/metal.h"

namespace {

using platform::metal::float4;

std::shared_ptr<MTLDevice> Device() {
  std::shared_ptr<MTLDevice> device = MTLCreateSystemDefaultDevice();
  EXPECT_NE(device, nullptr);
  return device;
}

TEST(MTLBufferTest, DeviceBuffersAreAsLongAsAskedZeroFilledAndCopiesWhereAsked) {
  auto device = Device();
  auto one = device->newBufferWithLength(1, MTLResourceStorageModeShared);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->length(), 1u);
  EXPECT_EQ(static_cast<uint8_t*>(one->contents())[0], 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(one->contents()) % getpagesize(), 0u);
  EXPECT_EQ(device->newBufferWithLength(0, 0), nullptr);

  std::vector<uint8_t> source = {1, 2, 3, 4, 5};
  auto copy = device->newBufferWithBytes(source.data(), source.size(), 0);
  ASSERT_NE(copy, nullptr);
  source[0] = 99;
  EXPECT_EQ(copy->length(), 5u);
  EXPECT_EQ(std::memcmp(copy->contents(), "\1\2\3\4\5", 5), 0);
}

TEST(MTLBufferTest, BufferOverCallerMemoryAliasesItAndRunsTheDeallocatorOnce) {
  auto device = Device();
  const size_t page = getpagesize();
  auto* memory = static_cast<uint8_t*>(std::aligned_alloc(page, 2 * page));
  std::memset(memory, 0, 2 * page);
  int deallocations = 0;
  void* deallocated_pointer = nullptr;
  NSUInteger deallocated_length = 0;
  {
    auto buffer = device->newBufferWithBytesNoCopy(memory, 2 * page, 0, [&](void* pointer, NSUInteger length) {
      ++deallocations;
      deallocated_pointer = pointer;
      deallocated_length = length;
    });
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->contents(), memory);
    EXPECT_EQ(buffer->length(), 2 * page);
    memory[page + 7] = 42;
    EXPECT_EQ(static_cast<uint8_t*>(buffer->contents())[page + 7], 42);
    static_cast<uint8_t*>(buffer->contents())[3] = 17;
    EXPECT_EQ(memory[3], 17);
    auto second_reference = buffer;
    buffer.reset();
    EXPECT_EQ(deallocations, 0);
  }
  EXPECT_EQ(deallocations, 1);
  EXPECT_EQ(deallocated_pointer, memory);
  EXPECT_EQ(deallocated_length, 2 * page);

  // What the platform refuses: memory off a page boundary, a length not a whole number of pages.
  int refused_deallocations = 0;
  const auto count = [&](void*, NSUInteger) { ++refused_deallocations; };
  EXPECT_EQ(device->newBufferWithBytesNoCopy(memory + 64, page, 0, count), nullptr);
  EXPECT_EQ(device->newBufferWithBytesNoCopy(memory, page - 1, 0, count), nullptr);
  EXPECT_EQ(device->newBufferWithBytesNoCopy(memory, 0, 0, count), nullptr);
  EXPECT_EQ(device->newBufferWithBytesNoCopy(nullptr, page, 0, count), nullptr);
  EXPECT_EQ(refused_deallocations, 0);
  std::free(memory);
}

TEST(MTLTextureTest, TextureOverABufferAliasesItsBytes) {
  auto device = Device();
  auto buffer = device->newBufferWithLength(4096, 0);
  auto descriptor = MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA16Float, 3, 2, false);
  const NSUInteger offset = 16, row = 32;
  auto texture = buffer->newTextureWithDescriptor(descriptor, offset, row);
  ASSERT_NE(texture, nullptr);
  EXPECT_EQ(texture->buffer(), buffer);
  EXPECT_EQ(texture->bufferOffset(), offset);
  EXPECT_EQ(texture->bufferBytesPerRow(), row);

  texture->writeTexel(2, 1, {1.0f, -2.0f, 0.5f, 0.0f});
  uint16_t halves[4];
  std::memcpy(halves, static_cast<uint8_t*>(buffer->contents()) + offset + 1 * row + 2 * 8, 8);
  EXPECT_EQ(halves[0], 0x3c00);
  EXPECT_EQ(halves[1], 0xc000);
  EXPECT_EQ(halves[2], 0x3800);
  EXPECT_EQ(halves[3], 0x0000);

  const uint16_t one_quarter[4] = {0x3400, 0x3400, 0x3400, 0x3400};
  std::memcpy(static_cast<uint8_t*>(buffer->contents()) + offset, one_quarter, 8);
  EXPECT_EQ(texture->readTexel(0, 0), (float4{0.25f, 0.25f, 0.25f, 0.25f}));
}

TEST(MTLTextureTest, TexturesThatCannotBeMadeAreNull) {
  auto device = Device();
  auto buffer = device->newBufferWithLength(100, 0);
  const auto rgba8 = [](NSUInteger width, NSUInteger height) {
    return MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA8Unorm, width, height, false);
  };
  // 4 x 3 RGBA8 rows of 40 bytes from offset 4: the last row ends at 4 + 80 + 16 = 100.
  EXPECT_NE(buffer->newTextureWithDescriptor(rgba8(4, 3), 4, 40), nullptr);
  struct Case {
    std::string name;
    std::shared_ptr<MTLTextureDescriptor> descriptor;
    NSUInteger offset, bytes_per_row;
  };
  const Case over_buffer[] = {
      {"one byte past the end", rgba8(4, 3), 5, 40},
      {"row shorter than the width", rgba8(4, 3), 0, 15},
      {"offset beyond the buffer", rgba8(1, 1), 101, 4},
      {"single row longer than the rest of the buffer", rgba8(25, 1), 4, 100},
      {"no descriptor", nullptr, 0, 16},
      {"zero width", rgba8(0, 1), 0, 16},
      {"mipmapped", MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA8Unorm, 2, 2, true), 0,
       16},
      {"unknown format",
       MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(static_cast<MTLPixelFormat>(999), 2, 2, false), 0, 16},
  };
  for (const Case& c : over_buffer) {
    EXPECT_EQ(buffer->newTextureWithDescriptor(c.descriptor, c.offset, c.bytes_per_row), nullptr) << c.name;
    if (c.descriptor != nullptr && c.offset == 0 && c.bytes_per_row == 16) {
      EXPECT_EQ(device->newTextureWithDescriptor(c.descriptor), nullptr) << c.name;
    }
  }
}

TEST(MTLTextureTest, ReplaceRegionAndGetBytesCopyARegion) {
  auto device = Device();
  auto texture = device->newTextureWithDescriptor(
      MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatR8Unorm, 5, 4, false));
  ASSERT_NE(texture, nullptr);
  const uint8_t patch[2][3] = {{1, 2, 3}, {4, 5, 6}};  // rows 3 bytes apart
  texture->replaceRegion(MTLRegionMake2D(2, 1, 2, 2), 0, patch, 3);
  uint8_t all[4][5];
  texture->getBytes(all, 5, MTLRegionMake2D(0, 0, 5, 4), 0);
  const uint8_t expected[4][5] = {{0, 0, 0, 0, 0}, {0, 0, 1, 2, 0}, {0, 0, 4, 5, 0}, {0, 0, 0, 0, 0}};
  EXPECT_EQ(std::memcmp(all, expected, sizeof(all)), 0);
}

TEST(MTLTextureTest, SamplesBeyondTheEdgesTakeTheEdgeTexels) {
  auto texture = Device()->newTextureWithDescriptor(
      MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatR32Float, 2, 2, false));
  const float texels[4] = {1, 2, 3, 4};  // rows (1 2) and (3 4)
  texture->replaceRegion(MTLRegionMake2D(0, 0, 2, 2), 0, texels, 2 * sizeof(float));
  const MTLSamplerState& linear = platform::metal::LinearClampSampler();
  MTLSamplerDescriptor nearest_descriptor;
  const MTLSamplerState nearest(nearest_descriptor);
  struct Case {
    float u, v, linear, nearest;
  };
  const Case cases[] = {
      {0.5f, 0.5f, 2.5f, 4},      // the middle: all four texels
      {-7.0f, 0.25f, 1, 1},       // left of the texture, on row 0's centre
      {1e30f, 0.75f, 4, 4},       // far right, on row 1's centre
      {INFINITY, -INFINITY, 2, 2},
      {NAN, 0.75f, 3, 3},         // held at the left edge
  };
  for (const Case& c : cases) {
    EXPECT_EQ(texture->sample(linear, c.u, c.v)[0], c.linear) << c.u << ", " << c.v;
    EXPECT_EQ(texture->sample(nearest, c.u, c.v)[0], c.nearest) << c.u << ", " << c.v;
  }
}

TEST(MTLTextureTest, TexelsConvertByFormat) {
  struct Case {
    MTLPixelFormat format;
    float4 written;
    std::vector<uint8_t> bytes;  // in memory
    float4 read;
  };
  const Case cases[] = {
      {MTLPixelFormatRGBA8Unorm, {1.0f, 0.5f, -0.5f, 2.0f}, {255, 128, 0, 255}, {1.0f, 128 / 255.0f, 0.0f, 1.0f}},
      {MTLPixelFormatBGRA8Unorm, {1.0f, 0.5f, 0.0f, 1.0f}, {0, 128, 255, 255}, {1.0f, 128 / 255.0f, 0.0f, 1.0f}},
      {MTLPixelFormatR8Unorm, {0.2f, 0.9f, 0.9f, 0.9f}, {51}, {0.2f, 0.0f, 0.0f, 1.0f}},
      {MTLPixelFormatR8Uint, {200.4f, 0, 0, 0}, {200}, {200.0f, 0.0f, 0.0f, 1.0f}},
      {MTLPixelFormatRG8Unorm, {0.0f, 1.0f, 1.0f, 1.0f}, {0, 255}, {0.0f, 1.0f, 0.0f, 1.0f}},
      {MTLPixelFormatR16Float, {-2.0f, 5, 5, 5}, {0x00, 0xc0}, {-2.0f, 0.0f, 0.0f, 1.0f}},
      {MTLPixelFormatRG16Float, {1.0f, 0.5f, 5, 5}, {0x00, 0x3c, 0x00, 0x38}, {1.0f, 0.5f, 0.0f, 1.0f}},
      {MTLPixelFormatR32Float, {0.1f, 5, 5, 5}, {0xcd, 0xcc, 0xcc, 0x3d}, {0.1f, 0.0f, 0.0f, 1.0f}},
  };
  auto device = Device();
  for (const Case& c : cases) {
    auto texture = device->newTextureWithDescriptor(
        MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(c.format, 1, 1, false));
    ASSERT_NE(texture, nullptr) << c.format;
    texture->writeTexel(0, 0, c.written);
    std::vector<uint8_t> bytes(c.bytes.size());
    texture->getBytes(bytes.data(), bytes.size(), MTLRegionMake2D(0, 0, 1, 1), 0);
    EXPECT_EQ(bytes, c.bytes) << c.format;
    EXPECT_EQ(texture->readTexel(0, 0), c.read) << c.format;
  }
}

// Every byte of a four-channel unorm texel reads as exactly byte / 255.0f, in the channel its
// format puts it, whether read or sampled at the texel's centre.
TEST(MTLTextureTest, EveryUnormByteReadsAsItsExactQuotient) {
  auto device = Device();
  for (const MTLPixelFormat format : {MTLPixelFormatRGBA8Unorm, MTLPixelFormatBGRA8Unorm}) {
    auto texture = device->newTextureWithDescriptor(
        MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(format, 64, 4, false));
    std::vector<uint8_t> bytes(64 * 4 * 4);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    texture->replaceRegion(MTLRegionMake2D(0, 0, 64, 4), 0, bytes.data(), 64 * 4);
    const bool blue_first = format == MTLPixelFormatBGRA8Unorm;
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 64; ++x) {
        const uint8_t* b = &bytes[(y * 64 + x) * 4];
        const float4 expected = {(blue_first ? b[2] : b[0]) / 255.0f, b[1] / 255.0f,
                                 (blue_first ? b[0] : b[2]) / 255.0f, b[3] / 255.0f};
        EXPECT_EQ(texture->readTexel(x, y), expected) << format << " (" << x << ", " << y << ")";
        EXPECT_EQ(texture->sample(platform::metal::LinearClampSampler(), (x + 0.5f) / 64, (y + 0.5f) / 4), expected)
            << format << " (" << x << ", " << y << ")";
      }
    }
  }
}

}  // namespace
