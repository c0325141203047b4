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

// How the caller uses a texture (kStandInTextureAccessKey).
enum class Access { kReadWrite, kSampled, kDrawnOver };

Access AccessOf(CFDictionaryRef attributes) {
  if (attributes == nullptr) return Access::kReadWrite;
  const void* value = CFDictionaryGetValue(attributes, kStandInTextureAccessKey);
  if (value == nullptr) return Access::kReadWrite;
  if (CFEqual(value, kStandInTextureAccessSampled)) return Access::kSampled;
  if (CFEqual(value, kStandInTextureAccessDrawnOver)) return Access::kDrawnOver;
  return Access::kReadWrite;
}

// Bytes whose contents start undefined (a vector would zero them first).
class Bytes {
 public:
  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  void Resize(size_t size) {
    if (size > capacity_) {
      data_.reset(new uint8_t[size]);
      capacity_ = size;
    }
    size_ = size;
  }
  bool operator==(const Bytes& other) const {
    return size_ == other.size_ && std::memcmp(data(), other.data(), size_) == 0;
  }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A GL texture's storage and how it was made: what a released texture leaves for a later one
// of the same kind.
struct TextureStorage {
  GLuint name = 0;
  GLint internal_format = 0;
  GLsizei width = 0;
  GLsizei height = 0;
  GLenum format = 0;
  GLenum type = 0;           // as the caller asked
  GLenum uploaded_type = 0;  // as GL took it (GL_HALF_FLOAT_OES for unsized half floats)
  GLenum read_format = 0;    // 0: not readable
  GLenum read_type = 0;
  size_t read_texel_bytes = 0;

  bool SameKind(const TextureStorage& other) const {
    return internal_format == other.internal_format && width == other.width &&
           height == other.height && format == other.format && type == other.type;
  }
};

// Released textures kept for reuse, per cache.
constexpr size_t kMaxSpareTextures = 8;

}  // namespace

struct CVOpenGLESTextureCacheObject final : Object {
  explicit CVOpenGLESTextureCacheObject(std::shared_ptr<EAGLContext> context)
      : Object(CacheTypeID()), context(std::move(context)) {}
  ~CVOpenGLESTextureCacheObject() override;

  // Runs in the service context: the cache's framebuffer, made on first use.
  GLuint Framebuffer();
  // Runs in the service context: deletes the spare textures.
  void DeleteSpares();

  const std::shared_ptr<EAGLContext> context;
  std::mutex mutex;
  std::vector<CVOpenGLESTextureObject*> live;  // guarded by mutex

  // Used only in the service context, whose calls the share group serialises.
  GLuint framebuffer = 0;
  std::vector<TextureStorage> spares;  // oldest first
  Bytes scratch;                       // read-back texels
  int row_lengths = -1;                // GL takes pack and unpack row lengths: 1, 0; -1 unknown
};

struct CVOpenGLESTextureObject final : Object {
  CVOpenGLESTextureObject() : Object(TextureTypeID()) {}
  ~CVOpenGLESTextureObject() override;

  // Puts what GL drew into the plane, as the access asks; `keep` when the texture lives on
  // (a flush). Runs in the service context.
  void WriteBack(bool keep);
  // Decides how the texture is read back (storage.read_format stays 0 when it cannot be).
  // Runs in the service context with the texture attached to the bound framebuffer.
  void ChooseReadFormat();
  // glReadPixels of the whole texture as tight rows of texel_bytes into `out`. Runs in the
  // service context with the texture attached to the bound framebuffer.
  void ReadTexels(Bytes* out) const;

  CVOpenGLESTextureCacheRef cache = nullptr;  // retained
  CVPixelBufferRef buffer = nullptr;          // retained
  size_t plane = 0;
  GLenum target = GL_TEXTURE_2D;
  TextureStorage storage;
  size_t texel_bytes = 0;
  Access access = Access::kReadWrite;
  // kReadWrite: what the texture holds as far as the plane is concerned: the plane's texels
  // when it was uploaded or last written back, as tight rows.
  Bytes in_step;
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

// Runs `work` with `texture` attached as colour attachment 0 of the cache's framebuffer in the
// service context; does nothing when the framebuffer is incomplete (GL cannot draw into the
// format).
template <typename F>
void WithTextureAttached(CVOpenGLESTextureCacheObject* cache, GLenum target, GLuint name,
                         F&& work) {
  glBindFramebuffer(GL_FRAMEBUFFER, cache->Framebuffer());
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, target, name, 0);
  if (glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE) work();
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, target, 0, 0);
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

// Whether the service context takes GL_PACK_ROW_LENGTH and GL_UNPACK_ROW_LENGTH (OpenGL ES 3),
// so that GL can read and write a plane's padded rows in place.
bool TakesRowLengths(CVOpenGLESTextureCacheObject* cache) {
  if (cache->row_lengths < 0) {
    const auto* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    cache->row_lengths =
        version != nullptr && std::strncmp(version, "OpenGL ES ", 10) == 0 && version[10] >= '3';
  }
  return cache->row_lengths == 1;
}

// Copies `height` rows of `row_bytes` between buffers of different row strides.
void CopyRows(const uint8_t* from, size_t from_stride, uint8_t* to, size_t to_stride,
              size_t row_bytes, GLsizei height) {
  for (GLsizei y = 0; y < height; ++y) {
    std::memcpy(to + y * to_stride, from + y * from_stride, row_bytes);
  }
}

}  // namespace

const CFStringRef kStandInTextureAccessKey = CFSTR("StandInTextureAccess");
const CFStringRef kStandInTextureAccessSampled = CFSTR("StandInTextureAccessSampled");
const CFStringRef kStandInTextureAccessDrawnOver = CFSTR("StandInTextureAccessDrawnOver");

GLuint CVOpenGLESTextureCacheObject::Framebuffer() {
  if (framebuffer == 0) glGenFramebuffers(1, &framebuffer);
  return framebuffer;
}

void CVOpenGLESTextureCacheObject::DeleteSpares() {
  for (const TextureStorage& spare : spares) glDeleteTextures(1, &spare.name);
  spares.clear();
}

CVOpenGLESTextureCacheObject::~CVOpenGLESTextureCacheObject() {
  if (framebuffer == 0 && spares.empty()) return;
  context->sharegroup()->RunInServiceContext([this] {
    DeleteSpares();
    glDeleteFramebuffers(1, &framebuffer);
  });
}

void CVOpenGLESTextureObject::ChooseReadFormat() {
  GLint format = 0, type = 0;
  glGetIntegerv(GL_IMPLEMENTATION_COLOR_READ_FORMAT, &format);
  glGetIntegerv(GL_IMPLEMENTATION_COLOR_READ_TYPE, &type);
  // Either the pair the texture was uploaded with, when GL reads it (always for RGBA and
  // BGRA bytes, otherwise when it is the implementation's read pair), or RGBA bytes for RGB
  // bytes, whose alpha ReadTexels drops.
  const GLenum uploaded_format = storage.format;
  const GLenum uploaded_type =
      storage.uploaded_type == GL_HALF_FLOAT_OES ? GL_HALF_FLOAT : storage.uploaded_type;
  storage.read_format = 0;
  if (uploaded_type == GL_UNSIGNED_BYTE &&
      (uploaded_format == GL_RGBA || uploaded_format == GL_BGRA_EXT)) {
    storage.read_format = uploaded_format;
    storage.read_type = GL_UNSIGNED_BYTE;
  } else if (static_cast<GLenum>(format) == uploaded_format &&
             static_cast<GLenum>(type) == uploaded_type) {
    storage.read_format = format;
    storage.read_type = type;
  } else if (uploaded_format == GL_RGB && uploaded_type == GL_UNSIGNED_BYTE) {
    storage.read_format = GL_RGBA;
    storage.read_type = GL_UNSIGNED_BYTE;
  }
  storage.read_texel_bytes =
      storage.read_format != 0 ? TexelBytes(storage.read_format, storage.read_type) : 0;
}

void CVOpenGLESTextureObject::ReadTexels(Bytes* out) const {
  const size_t texels = static_cast<size_t>(storage.width) * storage.height;
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  if (storage.read_texel_bytes == texel_bytes) {
    out->Resize(texel_bytes * texels);
    glReadPixels(0, 0, storage.width, storage.height, storage.read_format, storage.read_type,
                 out->data());
    return;
  }
  // Drop the components the read adds (the alpha of RGB texels).
  Bytes raw;
  raw.Resize(storage.read_texel_bytes * texels);
  glReadPixels(0, 0, storage.width, storage.height, storage.read_format, storage.read_type,
               raw.data());
  out->Resize(texel_bytes * texels);
  for (size_t i = 0; i < texels; ++i) {
    std::memcpy(out->data() + i * texel_bytes, raw.data() + i * storage.read_texel_bytes,
                texel_bytes);
  }
}

void CVOpenGLESTextureObject::WriteBack(bool keep) {
  if (access == Access::kSampled || storage.read_format == 0) return;
  const platform::corevideo::Plane p = platform::corevideo::GetPlane(buffer, plane);
  const size_t row_bytes = texel_bytes * storage.width;
  WithTextureAttached(cache, target, storage.name, [&] {
    if (access == Access::kDrawnOver) {
      if (storage.read_texel_bytes == texel_bytes && p.bytes_per_row % texel_bytes == 0 &&
          TakesRowLengths(cache)) {
        // Straight into the plane's rows.
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glPixelStorei(GL_PACK_ROW_LENGTH, static_cast<GLint>(p.bytes_per_row / texel_bytes));
        glReadPixels(0, 0, storage.width, storage.height, storage.read_format,
                     storage.read_type, p.data);
        glPixelStorei(GL_PACK_ROW_LENGTH, 0);
        return;
      }
      ReadTexels(&cache->scratch);
      CopyRows(cache->scratch.data(), row_bytes, p.data, p.bytes_per_row, row_bytes,
               storage.height);
      return;
    }
    ReadTexels(&cache->scratch);
    if (cache->scratch == in_step) return;
    CopyRows(cache->scratch.data(), row_bytes, p.data, p.bytes_per_row, row_bytes,
             storage.height);
    if (keep) std::swap(cache->scratch, in_step);
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
    if (storage.name == 0) return;
    WriteBack(/*keep=*/false);
    if (cache->spares.size() == kMaxSpareTextures) {
      glDeleteTextures(1, &cache->spares.front().name);
      cache->spares.erase(cache->spares.begin());
    }
    cache->spares.push_back(storage);
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
  texture->cache = static_cast<CVOpenGLESTextureCacheRef>(const_cast<void*>(CFRetain(cache)));
  texture->buffer = CVPixelBufferRetain(image);
  texture->plane = plane_index;
  texture->texel_bytes = texel_bytes;
  texture->access = AccessOf(texture_attributes);
  TextureStorage& storage = texture->storage;
  storage.internal_format = internal_format;
  storage.width = width;
  storage.height = height;
  storage.format = format;
  storage.type = type;
  storage.uploaded_type = type;

  // What GL uploads: nothing for a texture that will be drawn over; the in-step record (a
  // copy it needs anyway) for one that may be written back; else the plane's rows in place.
  const uint8_t* pixels = nullptr;
  size_t pixels_stride = row_bytes;
  Bytes tight;
  if (texture->access == Access::kReadWrite) {
    texture->in_step.Resize(row_bytes * height);
    CopyRows(p.data, p.bytes_per_row, texture->in_step.data(), row_bytes, row_bytes, height);
    pixels = texture->in_step.data();
  } else if (texture->access == Access::kSampled) {
    pixels = p.data;
    pixels_stride = p.bytes_per_row;
  }

  GLenum error = GL_NO_ERROR;
  const bool entered = cache->context->sharegroup()->RunInServiceContext([&] {
    ClearGlErrors();
    if (pixels_stride != row_bytes &&
        (pixels_stride % texel_bytes != 0 || !TakesRowLengths(cache))) {
      tight.Resize(row_bytes * height);
      CopyRows(pixels, pixels_stride, tight.data(), row_bytes, row_bytes, height);
      pixels = tight.data();
      pixels_stride = row_bytes;
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    if (pixels_stride != row_bytes) {
      glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(pixels_stride / texel_bytes));
    }

    auto spare = std::find_if(cache->spares.rbegin(), cache->spares.rend(),
                              [&](const TextureStorage& s) { return s.SameKind(storage); });
    if (spare != cache->spares.rend()) {
      storage = *spare;
      cache->spares.erase(std::next(spare).base());
      glBindTexture(GL_TEXTURE_2D, storage.name);
      // What a new texture would start with.
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST_MIPMAP_LINEAR);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
      if (pixels != nullptr) {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format, storage.uploaded_type,
                        pixels);
      }
      error = glGetError();
    } else {
      glGenTextures(1, &storage.name);
      glBindTexture(GL_TEXTURE_2D, storage.name);
      glTexImage2D(GL_TEXTURE_2D, 0, internal_format, width, height, 0, format, type, pixels);
      error = glGetError();
      if (error != GL_NO_ERROR && type == GL_HALF_FLOAT) {
        storage.uploaded_type = GL_HALF_FLOAT_OES;
        glTexImage2D(GL_TEXTURE_2D, 0, internal_format, width, height, 0, format,
                     storage.uploaded_type, pixels);
        error = glGetError();
      }
      if (error == GL_NO_ERROR) {
        WithTextureAttached(cache, GL_TEXTURE_2D, storage.name,
                            [&] { texture->ChooseReadFormat(); });
      }
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    if (pixels_stride != row_bytes) glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    if (error != GL_NO_ERROR) {
      glDeleteTextures(1, &storage.name);
      storage.name = 0;  // the destructor finds nothing to read back or keep
    }
    ClearGlErrors();
  });
  if (!entered || error != GL_NO_ERROR) {
    storage.name = 0;
    CFRelease(texture);
    return entered ? kCVReturnInvalidPixelFormat : kCVReturnError;
  }
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
  return texture == nullptr ? 0 : TextureFromRef(texture)->storage.name;
}

void CVOpenGLESTextureCacheFlush(CVOpenGLESTextureCacheRef cache, CVOptionFlags options) {
  if (cache == nullptr) return;
  CacheFromRef(cache);
  // Held throughout, so that a texture being released meanwhile waits for this flush.
  std::lock_guard<std::mutex> lock(cache->mutex);
  const bool ok = cache->context->sharegroup()->RunInServiceContext([cache] {
    for (CVOpenGLESTextureObject* texture : cache->live) texture->WriteBack(/*keep=*/true);
    cache->DeleteSpares();
  });
  if (!ok) LOG(ERROR) << "CVOpenGLESTextureCacheFlush could not read the textures back";
}
