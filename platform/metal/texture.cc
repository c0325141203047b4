#include "platform/metal/texture.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "base/logging.h"
#include "platform/metal/texture_internal.h"

namespace platform::metal::internal {

const PixelFormatInfo* UsableTextureFormat(const MTLTextureDescriptor& descriptor) {
  if (descriptor.textureType() != MTLTextureType2D || descriptor.width() == 0 ||
      descriptor.height() == 0 || descriptor.mipmapLevelCount() != 1) {
    return nullptr;
  }
  return FindPixelFormatInfo(descriptor.pixelFormat());
}

}  // namespace platform::metal::internal

std::shared_ptr<MTLTextureDescriptor> MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(
    MTLPixelFormat pixelFormat, NSUInteger width, NSUInteger height, bool mipmapped) {
  auto descriptor = std::make_shared<MTLTextureDescriptor>();
  descriptor->setPixelFormat(pixelFormat);
  descriptor->setWidth(width);
  descriptor->setHeight(height);
  if (mipmapped) {
    descriptor->setMipmapLevelCount(std::bit_width(std::max<NSUInteger>({width, height, 1})));
  }
  return descriptor;
}

const MTLSamplerState& platform::metal::LinearClampSampler() {
  static const MTLSamplerState sampler = [] {
    MTLSamplerDescriptor descriptor;
    descriptor.setMinFilter(MTLSamplerMinMagFilterLinear);
    descriptor.setMagFilter(MTLSamplerMinMagFilterLinear);
    return MTLSamplerState(descriptor);
  }();
  return sampler;
}

MTLTexture::MTLTexture(const platform::metal::PixelFormatInfo& format, NSUInteger width,
                       NSUInteger height, MTLTextureUsage usage, Storage storage)
    : format_(format),
      width_(width),
      height_(height),
      usage_(usage),
      storage_(std::move(storage)),
      float_width_(static_cast<float>(width)),
      float_height_(static_cast<float>(height)),
      last_column_(static_cast<float>(width - 1)),
      last_row_(static_cast<float>(height - 1)) {}

namespace {

void CheckRegion(const MTLTexture& texture, const MTLRegion& region, NSUInteger level) {
  CHECK(level == 0) << "texture has one mipmap level, asked for level " << level;
  CHECK(region.origin.z == 0 && region.size.depth == 1) << "2D texture region must have z 0 and depth 1";
  CHECK(region.origin.x <= texture.width() && region.size.width <= texture.width() - region.origin.x &&
        region.origin.y <= texture.height() && region.size.height <= texture.height() - region.origin.y)
      << "region (" << region.origin.x << ", " << region.origin.y << ") " << region.size.width << "x"
      << region.size.height << " outside texture " << texture.width() << "x" << texture.height();
}

}  // namespace

void MTLTexture::replaceRegion(MTLRegion region, NSUInteger mipmapLevel, const void* bytes,
                               NSUInteger bytesPerRow) {
  CheckRegion(*this, region, mipmapLevel);
  const size_t row_bytes = region.size.width * format_.bytes_per_pixel;
  for (NSUInteger y = 0; y < region.size.height; ++y) {
    std::memcpy(texelAddress(region.origin.x, region.origin.y + y),
                static_cast<const uint8_t*>(bytes) + y * bytesPerRow, row_bytes);
  }
}

void MTLTexture::getBytes(void* bytes, NSUInteger bytesPerRow, MTLRegion region, NSUInteger mipmapLevel) const {
  CheckRegion(*this, region, mipmapLevel);
  const size_t row_bytes = region.size.width * format_.bytes_per_pixel;
  for (NSUInteger y = 0; y < region.size.height; ++y) {
    std::memcpy(static_cast<uint8_t*>(bytes) + y * bytesPerRow,
                texelAddress(region.origin.x, region.origin.y + y), row_bytes);
  }
}

uint8_t* MTLTexture::texelAddress(NSUInteger x, NSUInteger y) const {
  CHECK(x < width_ && y < height_) << "texel (" << x << ", " << y << ") outside texture " << width_ << "x"
                                   << height_;
  return storage_.data + y * storage_.bytes_per_row + x * format_.bytes_per_pixel;
}

platform::metal::float4 MTLTexture::readTexel(NSUInteger x, NSUInteger y) const {
  return platform::metal::DecodeTexel(format_, texelAddress(x, y));
}

void MTLTexture::writeTexel(NSUInteger x, NSUInteger y, const platform::metal::float4& value) {
  platform::metal::EncodeTexel(format_, value, texelAddress(x, y));
}
