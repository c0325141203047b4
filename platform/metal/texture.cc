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
  const float x = sampler.normalizedCoordinates() ? u * static_cast<float>(width_) : u;
  const float y = sampler.normalizedCoordinates() ? v * static_cast<float>(height_) : v;
  const auto clamp_x = [this](float i) {
    return static_cast<NSUInteger>(std::clamp(i, 0.0f, static_cast<float>(width_ - 1)));
  };
  const auto clamp_y = [this](float j) {
    return static_cast<NSUInteger>(std::clamp(j, 0.0f, static_cast<float>(height_ - 1)));
  };
  if (sampler.filter() == MTLSamplerMinMagFilterNearest) {
    return readTexel(clamp_x(std::floor(x)), clamp_y(std::floor(y)));
  }
  // Bilinear between the four texel centres around (x, y).
  const float fx = x - 0.5f, fy = y - 0.5f;
  const float x0 = std::floor(fx), y0 = std::floor(fy);
  const float wx = fx - x0, wy = fy - y0;
  const platform::metal::float4 t00 = readTexel(clamp_x(x0), clamp_y(y0));
  const platform::metal::float4 t10 = readTexel(clamp_x(x0 + 1), clamp_y(y0));
  const platform::metal::float4 t01 = readTexel(clamp_x(x0), clamp_y(y0 + 1));
  const platform::metal::float4 t11 = readTexel(clamp_x(x0 + 1), clamp_y(y0 + 1));
  platform::metal::float4 result;
  for (int c = 0; c < 4; ++c) {
    const float top = t00[c] + (t10[c] - t00[c]) * wx;
    const float bottom = t01[c] + (t11[c] - t01[c]) * wx;
    result[c] = top + (bottom - top) * wy;
  }
  return result;
}
