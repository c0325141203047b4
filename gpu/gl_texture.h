// pellumo::GlTexture: a handle on one GL texture that a GL calculator reads from or draws into.
//
// Textures come from the GL calculator helper (gl_calculator_helper.h) and are used inside one
// `RunInGlContext` task:
//
//   helper_.RunInGlContext([&]() -> absl::Status {
//     GlTexture src = helper_.CreateSourceTexture(input);            // a view of the buffer
//     GlTexture dst = helper_.CreateDestinationTexture(w, h, GpuBufferFormat::kFormatBGRA);
//     helper_.BindFramebuffer(dst);
//     ... draw ...
//     std::unique_ptr<GpuBuffer> out = dst.GetFrame<GpuBuffer>();   // the pooled buffer
//     return absl::OkStatus();
//   });                                                               // textures released
//
// A texture over a GPU buffer holds a Core Video texture of one plane of the buffer's pixel
// buffer and a reference to the buffer; its GL name belongs to Core Video. Its width and height
// are the whole pixel buffer's, also for a sub-sampled plane. What GL draws into a destination
// texture reaches the pixel buffer when the last reference to the Core Video texture goes (or
// when the texture cache is flushed), so a calculator releases its destination texture before
// others read the buffer; source textures are only sampled.
//
// A texture made from an image frame, or over a GL name with the plain constructor, owns its GL
// name and deletes it on release; it must then be released (or destroyed) with a GL context of
// its share group current. Copies of a texture over a GPU buffer are independent handles (each
// holds its own references); a texture that owns its GL name cannot be copied (a fatal check),
// only moved.

#ifndef GPU_GL_TEXTURE_H_
#define GPU_GL_TEXTURE_H_

#include <GLES3/gl3.h>

#include <memory>

#include "gpu/cf_holder.h"
#include "gpu/gpu_buffer.h"
#include "gpu/image_frame.h"
#include "platform/eagl/cv_opengles_texture_cache.h"

namespace pellumo {

class GlCalculatorHelperImpl;

class GlTexture {
 public:
  GlTexture() = default;
  // A handle over the existing GL name `name` (target GL_TEXTURE_2D), which it then owns.
  GlTexture(GLuint name, int width, int height) : name_(name), width_(width), height_(height) {}
  ~GlTexture() { Release(); }

  GlTexture(const GlTexture& other);
  GlTexture& operator=(const GlTexture& other);
  GlTexture(GlTexture&& other) noexcept;
  GlTexture& operator=(GlTexture&& other) noexcept;

  int width() const { return width_; }
  int height() const { return height_; }
  GLenum target() const { return target_; }
  GLuint name() const { return name_; }
  int plane() const { return plane_; }

  // What the handle shows as a new object of type T:
  // - GpuBuffer: another reference to the texture's pixel buffer. Reported through the
  //   assertion handler ("gpu_buffer_ must be valid") for a texture over no GPU buffer; null
  //   when the handler returns.
  // - kaldren::ImageFrame: a CPU copy of the texture's pixel buffer. The same report and
  //   result for a texture over no GPU buffer.
  template <typename T>
  std::unique_ptr<T> GetFrame() const;

  // Gives up what the handle owns: the Core Video texture and the buffer reference, or else
  // the GL name (deleted). Afterwards name, width, height and plane are 0; the target stays.
  void Release();

 private:
  friend class GlCalculatorHelperImpl;

  bool OwnsGlName() const { return !cv_texture_ && name_ != 0; }
  void CopyFrom(const GlTexture& other);

  GlCalculatorHelperImpl* helper_impl_ = nullptr;
  GLuint name_ = 0;
  int width_ = 0;
  int height_ = 0;
  GLenum target_ = GL_TEXTURE_2D;
  CFHolder<CVOpenGLESTextureRef> cv_texture_;
  GpuBuffer gpu_buffer_;
  int plane_ = 0;
};

template <>
std::unique_ptr<GpuBuffer> GlTexture::GetFrame<GpuBuffer>() const;
template <>
std::unique_ptr<kaldren::ImageFrame> GlTexture::GetFrame<kaldren::ImageFrame>() const;

}  // namespace pellumo

#endif  // GPU_GL_TEXTURE_H_
