#ifndef PLATFORM_EAGL_CV_OPENGLES_TEXTURE_CACHE_H_
#define PLATFORM_EAGL_CV_OPENGLES_TEXTURE_CACHE_H_

// The Core Video OpenGL ES texture cache: GL textures that show a plane of a pixel buffer.
//
//   CVOpenGLESTextureCacheRef cache = NULL;
//   CVOpenGLESTextureCacheCreate(kCFAllocatorDefault, NULL, eagl_context, NULL, &cache);
//   CVOpenGLESTextureRef texture = NULL;
//   CVOpenGLESTextureCacheCreateTextureFromImage(kCFAllocatorDefault, cache, buffer, NULL,
//       GL_TEXTURE_2D, GL_RGBA, width, height, GL_BGRA_EXT, GL_UNSIGNED_BYTE, 0, &texture);
//   glBindTexture(CVOpenGLESTextureGetTarget(texture), CVOpenGLESTextureGetName(texture));
//   ... sample it, or attach it to a framebuffer and draw into it ...
//   CFRelease(texture);       // what was drawn is now in the pixel buffer
//   CVOpenGLESTextureCacheFlush(cache, 0);
//   CFRelease(cache);
//
// The platform lets the GPU use a pixel buffer's memory directly. Mesa cannot share memory
// with our pixel buffers, so here a texture is a copy that is kept in step at fixed points:
// - creating it uploads the plane (the texture's width x height texels of the given format
//   and type, read from the start of each row of the plane);
// - releasing the texture's last reference, and CVOpenGLESTextureCacheFlush for every texture
//   of the cache still alive, read the texture back and write it into the plane when it
//   differs from what the texture last held in step with the plane. So GL rendering into the
//   texture reaches the buffer, while a texture that GL did not change leaves the buffer (and
//   any CPU writes to it) alone. A texture is read back only when it can be a framebuffer
//   colour attachment (what GL can draw into); other formats are upload-only.
// The caller must have finished (or flushed, which on llvmpipe completes) GL work that uses
// the texture in other contexts before releasing or flushing it, as with any GL object shared
// between contexts: the GL storage of a released texture serves a later texture of the same
// size and format, until the cache is flushed.
//
// A caller that knows how GL will use a texture can say so in the texture attributes, under
// kStandInTextureAccessKey (the platform shares the buffer's memory and has no such key), so
// that no pixels are moved that need not be:
// - kStandInTextureAccessSampled: GL only reads the texture. It is uploaded and never read
//   back; what GL draws into it does not reach the plane.
// - kStandInTextureAccessDrawnOver: GL draws every texel before the texture is released (or
//   the cache flushed). It is not uploaded, and releasing and flushing write it into the
//   plane as it is, drawn or not.
// Without the key (or with another value) a texture is uploaded and written back when GL
// changed it, as described above.
//
// The GL work of the cache runs in the service context of the EAGL context's share group
// (eagl.h), so it neither changes GL state of the caller's context nor consumes its GL
// errors, and it works whatever context (if any) is current on the calling thread.
//
// Format and type pairs: everything OpenGL ES 3 uploads, and in addition
// - GL_BGRA_EXT / GL_UNSIGNED_BYTE with internal format GL_RGBA or GL_BGRA_EXT: Mesa takes it
//   as it is (GL_EXT_texture_format_BGRA8888 and GL_MESA_bgra) and reads it back in that order
//   (GL_EXT_read_format_bgra), so a 'BGRA' plane needs no swizzle;
// - the unsized OpenGL ES 2 forms with type GL_HALF_FLOAT (GL_LUMINANCE, GL_LUMINANCE_ALPHA,
//   GL_RGBA): OpenGL ES 3 names the half-float type GL_HALF_FLOAT_OES for unsized formats, so
//   such an upload is retried with that type.
//
// All functions are thread-safe.

#include <GLES3/gl3.h>

#include <cstddef>
#include <memory>

#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/dictionary.h"
#include "platform/corefoundation/object.h"
#include "platform/corevideo/cv_return.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/eagl/eagl.h"

#ifndef GL_BGRA_EXT
#define GL_BGRA_EXT 0x80E1
#endif
#ifndef GL_HALF_FLOAT_OES
#define GL_HALF_FLOAT_OES 0x8D61
#endif

struct CVOpenGLESTextureCacheObject;
struct CVOpenGLESTextureObject;
using CVOpenGLESTextureCacheRef = CVOpenGLESTextureCacheObject*;
using CVOpenGLESTextureRef = CVOpenGLESTextureObject*;

// The texture attribute and its values described above.
extern const CFStringRef kStandInTextureAccessKey;
extern const CFStringRef kStandInTextureAccessSampled;
extern const CFStringRef kStandInTextureAccessDrawnOver;

CFTypeID CVOpenGLESTextureCacheGetTypeID();
CFTypeID CVOpenGLESTextureGetTypeID();

// A new cache (count 1) in *cache_out for textures used with `eagl_context` and the other
// contexts of its share group. The attribute dictionaries are accepted and ignored; the
// texture attributes that count are those given with each texture.
// kCVReturnInvalidArgument for a null context or `cache_out`.
CVReturn CVOpenGLESTextureCacheCreate(CFAllocatorRef allocator, CFDictionaryRef cache_attributes,
                                      const std::shared_ptr<EAGLContext>& eagl_context,
                                      CFDictionaryRef texture_attributes,
                                      CVOpenGLESTextureCacheRef* cache_out);

// A new texture (count 1) in *texture_out over plane `plane_index` of `image` (plane 0 of a
// single-plane buffer), uploaded as described above (`texture_attributes` may be null, or
// name the access). The texture retains the buffer and the cache. Errors, with *texture_out unchanged:
//   kCVReturnInvalidArgument     a null cache, image or out pointer; a target other than
//                                GL_TEXTURE_2D; a plane the buffer lacks; a zero or
//                                negative size, or one larger than the plane;
//   kCVReturnInvalidPixelFormat  a format / type pair whose texel size is unknown, or that
//                                GL refuses with this internal format.
CVReturn CVOpenGLESTextureCacheCreateTextureFromImage(
    CFAllocatorRef allocator, CVOpenGLESTextureCacheRef cache, CVPixelBufferRef image,
    CFDictionaryRef texture_attributes, GLenum target, GLint internal_format, GLsizei width,
    GLsizei height, GLenum format, GLenum type, size_t plane_index,
    CVOpenGLESTextureRef* texture_out);

GLenum CVOpenGLESTextureGetTarget(CVOpenGLESTextureRef texture);
GLuint CVOpenGLESTextureGetName(CVOpenGLESTextureRef texture);

// Writes what GL rendered into the cache's live textures back into their pixel buffers (see
// above), and deletes the GL storage kept from released textures. `options` is accepted and
// ignored. A null cache does nothing.
void CVOpenGLESTextureCacheFlush(CVOpenGLESTextureCacheRef cache, CVOptionFlags options);

#endif  // PLATFORM_EAGL_CV_OPENGLES_TEXTURE_CACHE_H_
