#ifndef PLATFORM_METAL_TEXTURE_H_
#define PLATFORM_METAL_TEXTURE_H_

// Textures, texture descriptors and samplers of the CPU Metal device.
//
//   auto descriptor = MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(
//       MTLPixelFormatRGBA8Unorm, 64, 32, false);
//   auto texture = device->newTextureWithDescriptor(descriptor);
//   texture->replaceRegion(MTLRegionMake2D(0, 0, 64, 32), 0, pixels, 64 * 4);
//
// A texture is a two-dimensional array of texels in CPU memory: its own (zero-filled, rows
// packed), a buffer's (MTLBuffer::newTextureWithDescriptor) or a pixel-buffer plane's (the
// Core Video texture cache, cv_metal_texture_cache.h). The last two alias that memory. There
// is one mipmap level; a descriptor asking for more gives no texture.
//
// Shader code written in C++ reads and writes texels through readTexel / writeTexel and
// samples through sample() (the CPU side of what a shader's texture.sample(sampler, uv)
// does). Texel conversions are those of pixel_format.h. Texels are not guarded: as on the
// platform, the caller orders CPU access against committed work.

#include <cmath>
#include <cstdint>
#include <memory>

#include "platform/metal/pixel_format.h"
#include "platform/metal/types.h"

class MTLBuffer;

class MTLTextureDescriptor {
 public:
  // A 2D descriptor with usage ShaderRead and shared storage; `mipmapped` asks for a full
  // mipmap chain, which the device then refuses.
  static std::shared_ptr<MTLTextureDescriptor> texture2DDescriptorWithPixelFormat(
      MTLPixelFormat pixelFormat, NSUInteger width, NSUInteger height, bool mipmapped);

  MTLTextureType textureType() const { return texture_type_; }
  void setTextureType(MTLTextureType type) { texture_type_ = type; }
  MTLPixelFormat pixelFormat() const { return pixel_format_; }
  void setPixelFormat(MTLPixelFormat format) { pixel_format_ = format; }
  NSUInteger width() const { return width_; }
  void setWidth(NSUInteger width) { width_ = width; }
  NSUInteger height() const { return height_; }
  void setHeight(NSUInteger height) { height_ = height; }
  NSUInteger mipmapLevelCount() const { return mipmap_level_count_; }
  void setMipmapLevelCount(NSUInteger count) { mipmap_level_count_ = count; }
  MTLTextureUsage usage() const { return usage_; }
  void setUsage(MTLTextureUsage usage) { usage_ = usage; }
  MTLStorageMode storageMode() const { return storage_mode_; }
  void setStorageMode(MTLStorageMode mode) { storage_mode_ = mode; }

 private:
  MTLTextureType texture_type_ = MTLTextureType2D;
  MTLPixelFormat pixel_format_ = MTLPixelFormatRGBA8Unorm;
  NSUInteger width_ = 1;
  NSUInteger height_ = 1;
  NSUInteger mipmap_level_count_ = 1;
  MTLTextureUsage usage_ = MTLTextureUsageShaderRead;
  MTLStorageMode storage_mode_ = MTLStorageModeShared;
};

class MTLSamplerDescriptor {
 public:
  MTLSamplerMinMagFilter minFilter() const { return min_filter_; }
  void setMinFilter(MTLSamplerMinMagFilter filter) { min_filter_ = filter; }
  MTLSamplerMinMagFilter magFilter() const { return mag_filter_; }
  void setMagFilter(MTLSamplerMinMagFilter filter) { mag_filter_ = filter; }
  MTLSamplerAddressMode sAddressMode() const { return s_address_mode_; }
  void setSAddressMode(MTLSamplerAddressMode mode) { s_address_mode_ = mode; }
  MTLSamplerAddressMode tAddressMode() const { return t_address_mode_; }
  void setTAddressMode(MTLSamplerAddressMode mode) { t_address_mode_ = mode; }
  bool normalizedCoordinates() const { return normalized_coordinates_; }
  void setNormalizedCoordinates(bool normalized) { normalized_coordinates_ = normalized; }

 private:
  MTLSamplerMinMagFilter min_filter_ = MTLSamplerMinMagFilterNearest;
  MTLSamplerMinMagFilter mag_filter_ = MTLSamplerMinMagFilterNearest;
  MTLSamplerAddressMode s_address_mode_ = MTLSamplerAddressModeClampToEdge;
  MTLSamplerAddressMode t_address_mode_ = MTLSamplerAddressModeClampToEdge;
  bool normalized_coordinates_ = true;
};

// How a texture is sampled: clamp-to-edge addressing, nearest or bilinear filtering. There are
// no mipmaps and no sample footprint here, so one filter applies to every sample: the
// magnification filter of the descriptor. Shaders written in C++ may make their own, as a
// shader source declares a constexpr sampler.
class MTLSamplerState {
 public:
  explicit MTLSamplerState(const MTLSamplerDescriptor& descriptor)
      : filter_(descriptor.magFilter()), normalized_(descriptor.normalizedCoordinates()) {}

  MTLSamplerMinMagFilter filter() const { return filter_; }
  bool normalizedCoordinates() const { return normalized_; }

 private:
  MTLSamplerMinMagFilter filter_;
  bool normalized_;
};

namespace platform::metal {
// The sampler most shaders declare: bilinear, clamp to edge, normalised coordinates.
const MTLSamplerState& LinearClampSampler();
}  // namespace platform::metal

class MTLTexture {
 public:
  // Where the texels live; made by the device, by buffers and by the texture cache.
  struct Storage {
    uint8_t* data = nullptr;
    NSUInteger bytes_per_row = 0;
    std::shared_ptr<void> owner;         // keeps `data` alive
    std::shared_ptr<MTLBuffer> buffer;   // set for textures over a buffer
    NSUInteger buffer_offset = 0;
  };

  MTLTexture(const platform::metal::PixelFormatInfo& format, NSUInteger width, NSUInteger height,
             MTLTextureUsage usage, Storage storage);
  MTLTexture(const MTLTexture&) = delete;
  MTLTexture& operator=(const MTLTexture&) = delete;

  MTLTextureType textureType() const { return MTLTextureType2D; }
  MTLPixelFormat pixelFormat() const { return format_.format; }
  NSUInteger width() const { return width_; }
  NSUInteger height() const { return height_; }
  NSUInteger depth() const { return 1; }
  NSUInteger mipmapLevelCount() const { return 1; }
  MTLTextureUsage usage() const { return usage_; }
  // The buffer under a texture made over one (else null), its offset and row pitch.
  std::shared_ptr<MTLBuffer> buffer() const { return storage_.buffer; }
  NSUInteger bufferOffset() const { return storage_.buffer_offset; }
  NSUInteger bufferBytesPerRow() const { return storage_.buffer ? storage_.bytes_per_row : 0; }

  // Copies between the texels of `region` (z 0, depth 1, level 0) and caller memory whose rows
  // are `bytesPerRow` apart. A region outside the texture or another level is a failed CHECK,
  // as the platform's validation stops there too.
  void replaceRegion(MTLRegion region, NSUInteger mipmapLevel, const void* bytes, NSUInteger bytesPerRow);
  void getBytes(void* bytes, NSUInteger bytesPerRow, MTLRegion region, NSUInteger mipmapLevel) const;

  // CPU access for shader code written in C++ (x, y inside the texture, else a failed CHECK).
  const platform::metal::PixelFormatInfo& formatInfo() const { return format_; }
  uint8_t* texelAddress(NSUInteger x, NSUInteger y) const;
  NSUInteger bytesPerRow() const { return storage_.bytes_per_row; }
  platform::metal::float4 readTexel(NSUInteger x, NSUInteger y) const;
  void writeTexel(NSUInteger x, NSUInteger y, const platform::metal::float4& value);
  // The filtered value at (u, v): normalised coordinates put texel (i, j)'s centre at
  // ((i + 0.5) / width, (j + 0.5) / height); unnormalised ones at (i + 0.5, j + 0.5).
  // Positions beyond the edges take the edge texels.
  // Defined below, in the header, so that shader code inlines it.
  platform::metal::float4 sample(const MTLSamplerState& sampler, float u, float v) const;
  // What sample(LinearClampSampler(), u, v) gives, with the blend of four texels passed in:
  // texel_codec::Bilinear instantiated for this texture's format inlines what sample() calls
  // through the format table.
  template <typename Blend>
  platform::metal::TexelVector sampleLinearClamp(float u, float v, Blend&& blend) const {
    return bilinearAt(hold(u * float_width_, float_width_), hold(v * float_height_, float_height_), blend);
  }

 private:
  // A texel-unit position held to [0, size]: every position beyond an edge samples as the edge
  // does, and infinities and NaNs (a degenerate transform in a shader) stay harmless.
  static float hold(float t, float size) { return t > 0 ? (t < size ? t : size) : 0.0f; }
  static float clampIndex(float t, float high) { return t < 0.0f ? 0.0f : (high < t ? high : t); }
  // The bilinear blend between the four texel centres around the held position (x, y).
  template <typename Blend>
  platform::metal::TexelVector bilinearAt(float x, float y, Blend&& blend) const {
    const float fx = x - 0.5f, fy = y - 0.5f;
    const float x0 = std::floor(fx), y0 = std::floor(fy);
    const float wx = fx - x0, wy = fy - y0;
    const int left = static_cast<int>(clampIndex(x0, last_column_));
    const int right = static_cast<int>(clampIndex(x0 + 1, last_column_));
    const int top = static_cast<int>(clampIndex(y0, last_row_));
    const int bottom = static_cast<int>(clampIndex(y0 + 1, last_row_));
    // Indices are clamped here, so texels are read without the bounds check of readTexel.
    return blend(storage_.data + top * storage_.bytes_per_row, storage_.data + bottom * storage_.bytes_per_row,
                 left, right, wx, wy);
  }

  const platform::metal::PixelFormatInfo& format_;
  const NSUInteger width_;
  const NSUInteger height_;
  const MTLTextureUsage usage_;
  const Storage storage_;
  // The size and the last texel indices as floats, for sample().
  const float float_width_, float_height_;
  const float last_column_, last_row_;
};

inline platform::metal::float4 MTLTexture::sample(const MTLSamplerState& sampler, float u, float v) const {
  const float x = hold(sampler.normalizedCoordinates() ? u * float_width_ : u, float_width_);
  const float y = hold(sampler.normalizedCoordinates() ? v * float_height_ : v, float_height_);
  if (sampler.filter() == MTLSamplerMinMagFilterNearest) {
    return readTexel(static_cast<int>(clampIndex(std::floor(x), last_column_)),
                     static_cast<int>(clampIndex(std::floor(y), last_row_)));
  }
  const platform::metal::TexelVector result = bilinearAt(x, y, format_.bilinear);
  return platform::metal::float4{result[0], result[1], result[2], result[3]};
}

#endif  // PLATFORM_METAL_TEXTURE_H_
