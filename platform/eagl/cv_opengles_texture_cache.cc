#include "platform/eagl/cv_opengles_texture_cache.h"

#include <GLES2/gl2ext.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "base/logging.h"

namespace {

using platform::corefoundation::Object;

CFTypeID CacheTypeID() {
  static const CFTypeID id = platform::corefoundation::RegisterTypeID();
  return id;
}

CFTypeID TextureTypeID() {
  static const CFTypeID id = platform::corefoundation::RegisterTypeID();
  return id;
}

// Bytes of one texel of a format / type pair; 0 when unknown (packed types included).
size_t TexelBytes(GLenum format, GLenum type) {
  size_t components = 0;
  switch (format) {
    case GL_RED:
    case GL_ALPHA:
    case GL_LUMINANCE:
      components = 1;
      break;
    case GL_RG:
    case GL_LUMINANCE_ALPHA:
      components = 2;
      break;
    case GL_RGB:
      components = 3;
      break;
    case GL_RGBA:
    case GL_BGRA_EXT:
      components = 4;
      break;
    default:
      return 0;
  }
  switch (type) {
    case GL_UNSIGNED_BYTE:
    case GL_BYTE:
      return components;
    case GL_HALF_FLOAT:
    case GL_HALF_FLOAT_OES:
    case GL_UNSIGNED_SHORT:
    case GL_SHORT:
      return components * 2;
    case GL_FLOAT:
    case GL_UNSIGNED_INT:
    case GL_INT:
      return components * 4;
    default:
      return 0;
  }
}

// Drains the service context's error flags so that each check sees only its own call.
void ClearGlErrors() {
  while (glGetError() != GL_NO_ERROR) {
  }
}

}  // namespace

struct CVOpenGLESTextureCacheObject final : Object {
  explicit CVOpenGLESTextureCacheObject(std::shared_ptr<EAGLContext> context)
      : Object(CacheTypeID()), context(std::move(context)) {}

  const std::shared_ptr<EAGLContext> context;
  std::mutex mutex;
  std::vector<CVOpenGLESTextureObject*> live;  // guarded by mutex
};

struct CVOpenGLESTextureObject final : Object {
  CVOpenGLESTextureObject() : Object(TextureTypeID()) {}
  ~CVOpenGLESTextureObject() override;

  // Reads the texture back and writes it into the plane when GL changed it. Runs in the
  // service context.
  void WriteBackIfChanged();
  // Decides how the texture, uploaded as `format` / `type`, is read back (read_format stays 0
  // when it cannot be). Runs in the service context with the texture attached to the bound
  // framebuffer.
  void ChooseReadFormat(GLenum format, GLenum type);
  // glReadPixels of the whole texture into `out` (tight rows of texel_bytes). Runs in the
  // service context with the texture attached to the bound framebuffer.
  void ReadTexels(std::vector<uint8_t>* out) const;

  CVOpenGLESTextureCacheRef cache = nullptr;  // retained
  CVPixelBufferRef buffer = nullptr;          // retained
  size_t plane = 0;
  GLenum target = GL_TEXTURE_2D;
  GLuint name = 0;
  GLsizei width = 0;
  GLsizei height = 0;
  size_t texel_bytes = 0;
  GLenum read_format = 0;  // 0: not readable
  GLenum read_type = 0;
  size_t read_texel_bytes = 0;
  // What the texture holds as far as the plane is concerned: the plane's texels when it was
  // uploaded or last written back, as tight rows.
  std::vector<uint8_t> in_step;
};

namespace {

CVOpenGLESTextureCacheObject* CacheFromRef(CVOpenGLESTextureCacheRef cache) {
  CHECK(Object::FromRef(cache)->type_id() == CacheTypeID()) << "not a CVOpenGLESTextureCache";
  return cache;
}

CVOpenGLESTextureObject* TextureFromRef(CVOpenGLESTextureRef texture) {
  CHECK(Object::FromRef(texture)->type_id() == TextureTypeID()) << "not a CVOpenGLESTexture";
  return texture;
}

// Runs `work` with `texture` attached as colour attachment 0 of a framebuffer of the service
// context; does nothing when that framebuffer is incomplete (GL cannot draw into the format).
template <typename F>
void WithTextureAttached(const CVOpenGLESTextureObject& texture, F&& work) {
  GLuint framebuffer = 0;
  glGenFramebuffers(1, &framebuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, texture.target, texture.name, 0);
  if (glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE) work();
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glDeleteFramebuffers(1, &framebuffer);
}

}  // namespace

void CVOpenGLESTextureObject::ChooseReadFormat(GLenum uploaded_format, GLenum uploaded_type) {
  GLint format = 0, type = 0;
  glGetIntegerv(GL_IMPLEMENTATION_COLOR_READ_FORMAT, &format);
  glGetIntegerv(GL_IMPLEMENTATION_COLOR_READ_TYPE, &type);
  // Either the pair the texture was uploaded with, when GL reads it (always for RGBA and
  // BGRA bytes, otherwise when it is the implementation's read pair), or RGBA bytes for RGB
  // bytes, whose alpha ReadTexels drops.
  if (uploaded_type == GL_HALF_FLOAT_OES) uploaded_type = GL_HALF_FLOAT;
  read_format = 0;
  if (uploaded_type == GL_UNSIGNED_BYTE &&
      (uploaded_format == GL_RGBA || uploaded_format == GL_BGRA_EXT)) {
    read_format = uploaded_format;
    read_type = GL_UNSIGNED_BYTE;
  } else if (static_cast<GLenum>(format) == uploaded_format &&
             static_cast<GLenum>(type) == uploaded_type) {
    read_format = format;
    read_type = type;
  } else if (uploaded_format == GL_RGB && uploaded_type == GL_UNSIGNED_BYTE) {
    read_format = GL_RGBA;
    read_type = GL_UNSIGNED_BYTE;
  }
  read_texel_bytes = read_format != 0 ? TexelBytes(read_format, read_type) : 0;
}

void CVOpenGLESTextureObject::ReadTexels(std::vector<uint8_t>* out) const {
  std::vector<uint8_t> raw(read_texel_bytes * width * height);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, width, height, read_format, read_type, raw.data());
  if (read_texel_bytes == texel_bytes) {
    *out = std::move(raw);
    return;
  }
  // Drop the components the read added (the alpha of RGB texels).
  out->resize(texel_bytes * width * height);
  for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) {
    std::memcpy(out->data() + i * texel_bytes, raw.data() + i * read_texel_bytes, texel_bytes);
  }
}

void CVOpenGLESTextureObject::WriteBackIfChanged() {
  if (read_format == 0) return;
  WithTextureAttached(*this, [this] {
    std::vector<uint8_t> now;
    ReadTexels(&now);
    if (now == in_step) return;
    const platform::corevideo::Plane p = platform::corevideo::GetPlane(buffer, plane);
    const size_t row_bytes = texel_bytes * width;
    for (GLsizei y = 0; y < height; ++y) {
      std::memcpy(p.data + y * p.bytes_per_row, now.data() + y * row_bytes, row_bytes);
    }
    in_step = std::move(now);
  });
  ClearGlErrors();
}

CVOpenGLESTextureObject::~CVOpenGLESTextureObject() {
  {
    std::lock_guard<std::mutex> lock(cache->mutex);
    auto& live = cache->live;
    live.erase(std::remove(live.begin(), live.end(), this), live.end());
  }
  const bool ok = cache->context->sharegroup()->RunInServiceContext([this] {
    WriteBackIfChanged();
    glDeleteTextures(1, &name);
  });
  if (!ok) LOG(ERROR) << "A released CVOpenGLESTexture could not be read back";
  CVPixelBufferRelease(buffer);
  CFRelease(cache);
}

CFTypeID CVOpenGLESTextureCacheGetTypeID() { return CacheTypeID(); }
CFTypeID CVOpenGLESTextureGetTypeID() { return TextureTypeID(); }

CVReturn CVOpenGLESTextureCacheCreate(CFAllocatorRef allocator, CFDictionaryRef cache_attributes,
                                      const std::shared_ptr<EAGLContext>& eagl_context,
                                      CFDictionaryRef texture_attributes,
                                      CVOpenGLESTextureCacheRef* cache_out) {
  if (eagl_context == nullptr || cache_out == nullptr) return kCVReturnInvalidArgument;
  *cache_out = new CVOpenGLESTextureCacheObject(eagl_context);
  return kCVReturnSuccess;
}

CVReturn CVOpenGLESTextureCacheCreateTextureFromImage(
    CFAllocatorRef allocator, CVOpenGLESTextureCacheRef cache, CVPixelBufferRef image,
    CFDictionaryRef texture_attributes, GLenum target, GLint internal_format, GLsizei width,
    GLsizei height, GLenum format, GLenum type, size_t plane_index,
    CVOpenGLESTextureRef* texture_out) {
  if (cache == nullptr || image == nullptr || texture_out == nullptr) {
    return kCVReturnInvalidArgument;
  }
  CacheFromRef(cache);
  if (target != GL_TEXTURE_2D || width <= 0 || height <= 0) return kCVReturnInvalidArgument;
  const size_t texel_bytes = TexelBytes(format, type);
  if (texel_bytes == 0) return kCVReturnInvalidPixelFormat;
  const platform::corevideo::Plane p = platform::corevideo::GetPlane(image, plane_index);
  const size_t row_bytes = texel_bytes * width;
  if (p.data == nullptr || row_bytes > p.bytes_per_row || static_cast<size_t>(height) > p.height) {
    return kCVReturnInvalidArgument;
  }

  auto* texture = new CVOpenGLESTextureObject;
  texture->width = width;
  texture->height = height;
  texture->texel_bytes = texel_bytes;
  texture->in_step.resize(row_bytes * height);
  for (GLsizei y = 0; y < height; ++y) {
    std::memcpy(texture->in_step.data() + y * row_bytes, p.data + y * p.bytes_per_row, row_bytes);
  }

  GLenum error = GL_NO_ERROR;
  const bool entered = cache->context->sharegroup()->RunInServiceContext([&] {
    ClearGlErrors();
    glGenTextures(1, &texture->name);
    glBindTexture(GL_TEXTURE_2D, texture->name);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, internal_format, width, height, 0, format, type,
                 texture->in_step.data());
    error = glGetError();
    if (error != GL_NO_ERROR && type == GL_HALF_FLOAT) {
      type = GL_HALF_FLOAT_OES;
      glTexImage2D(GL_TEXTURE_2D, 0, internal_format, width, height, 0, format, type,
                   texture->in_step.data());
      error = glGetError();
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    if (error == GL_NO_ERROR) {
      WithTextureAttached(*texture, [&] { texture->ChooseReadFormat(format, type); });
    } else {
      glDeleteTextures(1, &texture->name);
    }
    ClearGlErrors();
  });
  if (!entered || error != GL_NO_ERROR) {
    // The destructor finds no GL name and nothing to read back.
    texture->name = 0;
    texture->cache = static_cast<CVOpenGLESTextureCacheRef>(const_cast<void*>(CFRetain(cache)));
    texture->buffer = CVPixelBufferRetain(image);
    CFRelease(texture);
    return entered ? kCVReturnInvalidPixelFormat : kCVReturnError;
  }
  texture->cache = static_cast<CVOpenGLESTextureCacheRef>(const_cast<void*>(CFRetain(cache)));
  texture->buffer = CVPixelBufferRetain(image);
  texture->plane = plane_index;
  {
    std::lock_guard<std::mutex> lock(cache->mutex);
    cache->live.push_back(texture);
  }
  *texture_out = texture;
  return kCVReturnSuccess;
}

GLenum CVOpenGLESTextureGetTarget(CVOpenGLESTextureRef texture) {
  return texture == nullptr ? 0 : TextureFromRef(texture)->target;
}

GLuint CVOpenGLESTextureGetName(CVOpenGLESTextureRef texture) {
  return texture == nullptr ? 0 : TextureFromRef(texture)->name;
}

void CVOpenGLESTextureCacheFlush(CVOpenGLESTextureCacheRef cache, CVOptionFlags options) {
  if (cache == nullptr) return;
  CacheFromRef(cache);
  // Held throughout, so that a texture being released meanwhile waits for this flush.
  std::lock_guard<std::mutex> lock(cache->mutex);
  if (cache->live.empty()) return;
  const bool ok = cache->context->sharegroup()->RunInServiceContext([cache] {
    for (CVOpenGLESTextureObject* texture : cache->live) texture->WriteBackIfChanged();
  });
  if (!ok) LOG(ERROR) << "CVOpenGLESTextureCacheFlush could not read the textures back";
}
