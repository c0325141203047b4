#include "gpu/gpu_buffer_format.h"

// Only the enum values of these headers are used; nothing here calls GL.
#include <GLES3/gl3.h>
#include <GLES2/gl2ext.h>

#include <unordered_map>
#include <vector>

#include "base/logging.h"

namespace pellumo {
namespace {

using FormatTable = std::unordered_map<GpuBufferFormat, std::vector<GlTextureInfo>>;

// The OpenGL ES 3 view of each format, one row per plane. 'BGRA' planes are GL_RGBA textures
// uploaded from GL_BGRA_EXT data (GL_EXT_texture_format_BGRA8888), the pairing texture caches
// take for 32-bit BGRA buffers.
FormatTable MakeEs3Table() {
  return {
      {GpuBufferFormat::kFormatBGRA, {{GL_RGBA, GL_BGRA_EXT, GL_UNSIGNED_BYTE, 1}}},
      {GpuBufferFormat::kFormatL008, {{GL_LUMINANCE, GL_LUMINANCE, GL_UNSIGNED_BYTE, 1}}},
      {GpuBufferFormat::kFormat420v,
       {{GL_R8, GL_RED, GL_UNSIGNED_BYTE, 1}, {GL_RG8, GL_RG, GL_UNSIGNED_BYTE, 2}}},
      {GpuBufferFormat::kFormat420f,
       {{GL_R8, GL_RED, GL_UNSIGNED_BYTE, 1}, {GL_RG8, GL_RG, GL_UNSIGNED_BYTE, 2}}},
      {GpuBufferFormat::kFormat2C0h, {{GL_RG16F, GL_RG, GL_HALF_FLOAT, 1}}},
      {GpuBufferFormat::kFormatL00h, {{GL_R16F, GL_RED, GL_HALF_FLOAT, 1}}},
      {GpuBufferFormat::kFormatL00f, {{GL_R32F, GL_RED, GL_FLOAT, 1}}},
      {GpuBufferFormat::kFormatRGB24, {{GL_RGB, GL_RGB, GL_UNSIGNED_BYTE, 1}}},
      {GpuBufferFormat::kFormatRGhA, {{GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, 1}}},
      {GpuBufferFormat::kFormatRGfA, {{GL_RGBA, GL_RGBA, GL_FLOAT, 1}}},
  };
}

// OpenGL ES 2 has no sized one- and two-channel formats: those planes take the unsized
// format that ES 2 has, as both internal format and format.
FormatTable DeriveEs2Table(const FormatTable& es3) {
  FormatTable es2 = es3;
  for (auto& [format, planes] : es2) {
    for (GlTextureInfo& info : planes) {
      uint32_t replacement = 0;
      switch (info.gl_internal_format) {
        case GL_R8: replacement = GL_RED; break;
        case GL_RG8: replacement = GL_RG; break;
        case GL_R16F: replacement = GL_LUMINANCE; break;
        case GL_R32F: replacement = GL_LUMINANCE; break;
        case GL_RG16F: replacement = GL_LUMINANCE_ALPHA; break;
        default: continue;
      }
      info.gl_internal_format = static_cast<int32_t>(replacement);
      info.gl_format = replacement;
    }
  }
  return es2;
}

const FormatTable& Es3Table() {
  static const FormatTable* const table = new FormatTable(MakeEs3Table());
  return *table;
}

const FormatTable& Es2Table() {
  static const FormatTable* const table = new FormatTable(DeriveEs2Table(Es3Table()));
  return *table;
}

}  // namespace

const GlTextureInfo& GlTextureInfoForGpuBufferFormat(GpuBufferFormat format, int plane,
                                                     GlVersion gl_version) {
  const FormatTable* format_info = gl_version == GlVersion::kOpenGlEs2 ? &Es2Table() : &Es3Table();
  auto iter = format_info->find(format);
  CHECK(iter != format_info->end()) << "unsupported format";
  const std::vector<GlTextureInfo>& planes = iter->second;
  CHECK(plane >= 0) << "invalid plane number";
  CHECK(plane < planes.size()) << "invalid plane number";
  return planes[plane];
}

const GlTextureInfo& GlTextureInfoForGpuBufferFormat(GpuBufferFormat format, int plane) {
  return GlTextureInfoForGpuBufferFormat(format, plane, GlVersion::kOpenGlEs3);
}

ImageFormat_Format ImageFormatForGpuBufferFormat(GpuBufferFormat format) {
  switch (format) {
    case GpuBufferFormat::kFormatBGRA: return ImageFormat::RGBA8;
    case GpuBufferFormat::kFormatL008: return ImageFormat::GRAY8;
    case GpuBufferFormat::kFormatL00f: return ImageFormat::GRAY32F;
    case GpuBufferFormat::kFormatRGB24: return ImageFormat::RGB8;
    case GpuBufferFormat::kFormat420v:
    case GpuBufferFormat::kFormat420f: return ImageFormat::YCBCR420_PLANAR;
    default: return ImageFormat::UNKNOWN;
  }
}

GpuBufferFormat GpuBufferFormatForImageFormat(ImageFormat_Format format) {
  switch (format) {
    case ImageFormat::RGB8: return GpuBufferFormat::kFormatRGB24;
    case ImageFormat::RGBA8: return GpuBufferFormat::kFormatBGRA;
    case ImageFormat::GRAY8: return GpuBufferFormat::kFormatL008;
    case ImageFormat::YCBCR420_PLANAR: return GpuBufferFormat::kFormat420f;
    case ImageFormat::GRAY32F: return GpuBufferFormat::kFormatL00f;
    default: return GpuBufferFormat::kFormatNone;
  }
}

GpuBufferFormat GpuBufferFormatForCVPixelFormat(OSType pixel_format) {
  if (pixel_format == kCVPixelFormatType_DepthFloat32) return GpuBufferFormat::kFormatL00f;
  const auto format = static_cast<GpuBufferFormat>(pixel_format);
  return CVPixelFormatForGpuBufferFormat(format) == -1 ? GpuBufferFormat::kFormatNone : format;
}

int64_t CVPixelFormatForGpuBufferFormat(GpuBufferFormat format) {
  switch (format) {
    case GpuBufferFormat::kFormatBGRA:
    case GpuBufferFormat::kFormatL008:
    case GpuBufferFormat::kFormatL00h:
    case GpuBufferFormat::kFormatL00f:
    case GpuBufferFormat::kFormat2C0h:
    case GpuBufferFormat::kFormatRGB24:
    case GpuBufferFormat::kFormatRGhA:
    case GpuBufferFormat::kFormatRGfA:
    case GpuBufferFormat::kFormat420v:
    case GpuBufferFormat::kFormat420f: return static_cast<int64_t>(format);
    case GpuBufferFormat::kFormatNone: break;
  }
  return -1;
}

}  // namespace pellumo
