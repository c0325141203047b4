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
    : format_(format), width_(width), height_(height), usage_(usage), storage_(std::move(storage)) {}

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

platform::metal::float4 MTLTexture::sample(const MTLSamplerState& sampler, float u, float v) const {
  const float width = static_cast<float>(width_), height = static_cast<float>(height_);
  // In texel units, held to [0, size]: every position beyond an edge samples as the edge does,
  // and infinities and NaNs (a degenerate transform in a shader) stay harmless.
  const auto hold = [](float t, float size) { return t > 0 ? (t < size ? t : size) : 0.0f; };
  const float x = hold(sampler.normalizedCoordinates() ? u * width : u, width);
  const float y = hold(sampler.normalizedCoordinates() ? v * height : v, height);
  const float max_x = static_cast<float>(width_ - 1), max_y = static_cast<float>(height_ - 1);
  if (sampler.filter() == MTLSamplerMinMagFilterNearest) {
    return readTexel(static_cast<int>(std::clamp(std::floor(x), 0.0f, max_x)),
                     static_cast<int>(std::clamp(std::floor(y), 0.0f, max_y)));
  }
  // Bilinear between the four texel centres around (x, y).
  const float fx = x - 0.5f, fy = y - 0.5f;
  const float x0 = std::floor(fx), y0 = std::floor(fy);
  const float wx = fx - x0, wy = fy - y0;
  const float left = std::clamp(x0, 0.0f, max_x), right = std::clamp(x0 + 1, 0.0f, max_x);
  const float top = std::clamp(y0, 0.0f, max_y), bottom = std::clamp(y0 + 1, 0.0f, max_y);
  // Indices are clamped here, so texels are read without the bounds check of readTexel.
  const platform::metal::TexelVector result = format_.bilinear(
      storage_.data + static_cast<int>(top) * storage_.bytes_per_row,
      storage_.data + static_cast<int>(bottom) * storage_.bytes_per_row, static_cast<int>(left),
      static_cast<int>(right), wx, wy);
  return platform::metal::float4{result[0], result[1], result[2], result[3]};
}
