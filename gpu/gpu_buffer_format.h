// GPU image formats and how they are seen by OpenGL ES and by CPU image frames.
//
// A pellumo::GpuBufferFormat is a Core Video pixel-format code. Each format has one row per
// plane in the texture tables, and maps to the kaldren::ImageFrame format of the same layout:
//
//   const GlTextureInfo& info =
//       GlTextureInfoForGpuBufferFormat(GpuBufferFormat::kFormat420f, 1, GlVersion::kOpenGlEs3);
//   // info.gl_internal_format == GL_RG8, info.gl_format == GL_RG, info.downscale == 2
//   glTexImage2D(GL_TEXTURE_2D, 0, info.gl_internal_format, width / info.downscale, ...);
//
// The OpenGL ES 2 table is the ES 3 table with the sized one- and two-channel formats replaced
// by what ES 2 has (GL_RED, GL_RG, GL_LUMINANCE, GL_LUMINANCE_ALPHA). Asking for a format
// without a row, or for a plane it does not have, is fatal. The tables are built once, on
// first use, and lookups afterwards take no lock.

#ifndef GPU_GPU_BUFFER_FORMAT_H_
#define GPU_GPU_BUFFER_FORMAT_H_

#include <cstdint>

#include "gpu/image_frame.h"
#include "platform/corevideo/pixel_format.h"

namespace pellumo {

enum class GpuBufferFormat : uint32_t {
  kFormatNone = 0,
  kFormatBGRA = kCVPixelFormatType_32BGRA,
  kFormatL008 = kCVPixelFormatType_OneComponent8,
  kFormatL00h = kCVPixelFormatType_OneComponent16Half,
  kFormatL00f = kCVPixelFormatType_OneComponent32Float,
  kFormat2C0h = kCVPixelFormatType_TwoComponent16Half,
  kFormatRGB24 = kCVPixelFormatType_24RGB,
  kFormatRGhA = kCVPixelFormatType_64RGBAHalf,
  kFormatRGfA = kCVPixelFormatType_128RGBAFloat,
  kFormat420v = kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange,
  kFormat420f = kCVPixelFormatType_420YpCbCr8BiPlanarFullRange,
};

// Which texture table to read: any value other than kOpenGlEs2 reads the ES 3 table.
enum class GlVersion : int {
  kOpenGlEs2 = 2,
  kOpenGlEs3 = 3,
};

// One plane of one format as an OpenGL ES texture.
struct GlTextureInfo {
  int32_t gl_internal_format;  // as passed to glTexImage2D
  uint32_t gl_format;
  uint32_t gl_type;
  // The plane is the buffer's width and height divided by this.
  int32_t downscale;

  bool operator==(const GlTextureInfo& other) const = default;
};

const GlTextureInfo& GlTextureInfoForGpuBufferFormat(GpuBufferFormat format, int plane,
                                                     GlVersion gl_version);
const GlTextureInfo& GlTextureInfoForGpuBufferFormat(GpuBufferFormat format, int plane);

ImageFormat_Format ImageFormatForGpuBufferFormat(GpuBufferFormat format);
GpuBufferFormat GpuBufferFormatForImageFormat(ImageFormat_Format format);

// The format of a pixel buffer of `pixel_format`: each code of the enumeration is itself,
// Core Video's 32-bit float depth format ('fdep') reads as kFormatL00f, anything else is
// kFormatNone.
GpuBufferFormat GpuBufferFormatForCVPixelFormat(OSType pixel_format);
// The Core Video code of a format that pools can allocate, -1 for kFormatNone or any value
// outside the enumeration.
int64_t CVPixelFormatForGpuBufferFormat(GpuBufferFormat format);

}  // namespace pellumo

#endif  // GPU_GPU_BUFFER_FORMAT_H_
