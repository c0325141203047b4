#include "gpu/gl_texture.h"

#include <utility>

#include "base/logging.h"
#include "gpu/gl_calculator_helper.h"
#include "gpu/pixel_buffer_conversions.h"
#include "platform/foundation/assertion_handler.h"

namespace pellumo {

GlTexture::GlTexture(const GlTexture& other) { CopyFrom(other); }

GlTexture& GlTexture::operator=(const GlTexture& other) {
  if (this != &other) {
    Release();
    CopyFrom(other);
  }
  return *this;
}

void GlTexture::CopyFrom(const GlTexture& other) {
  // Both copies would delete the one name.
  CHECK(!other.OwnsGlName()) << "a texture that owns its GL name cannot be copied";
  helper_impl_ = other.helper_impl_;
  name_ = other.name_;
  width_ = other.width_;
  height_ = other.height_;
  target_ = other.target_;
  cv_texture_ = other.cv_texture_;
  gpu_buffer_ = other.gpu_buffer_;
  plane_ = other.plane_;
}

GlTexture::GlTexture(GlTexture&& other) noexcept
    : helper_impl_(std::exchange(other.helper_impl_, nullptr)),
      name_(std::exchange(other.name_, 0)),
      width_(std::exchange(other.width_, 0)),
      height_(std::exchange(other.height_, 0)),
      target_(other.target_),
      cv_texture_(std::move(other.cv_texture_)),
      gpu_buffer_(std::move(other.gpu_buffer_)),
      plane_(std::exchange(other.plane_, 0)) {}

GlTexture& GlTexture::operator=(GlTexture&& other) noexcept {
  if (this != &other) {
    Release();
    helper_impl_ = std::exchange(other.helper_impl_, nullptr);
    name_ = std::exchange(other.name_, 0);
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
    target_ = other.target_;
    cv_texture_ = std::move(other.cv_texture_);
    gpu_buffer_ = std::move(other.gpu_buffer_);
    plane_ = std::exchange(other.plane_, 0);
  }
  return *this;
}

void GlTexture::Release() {
  if (cv_texture_) {
    // The name belongs to Core Video; letting go of the texture is what writes GL's drawing
    // into the pixel buffer.
    cv_texture_.reset();
  } else if (name_ != 0) {
    glDeleteTextures(1, &name_);
  }
  helper_impl_ = nullptr;
  gpu_buffer_ = GpuBuffer();
  plane_ = 0;
  name_ = 0;
  width_ = 0;
  height_ = 0;
}

template <>
std::unique_ptr<GpuBuffer> GlTexture::GetFrame<GpuBuffer>() const {
  NSAssert(static_cast<bool>(gpu_buffer_), "gpu_buffer_ must be valid");
  if (!gpu_buffer_) return nullptr;
  return std::make_unique<GpuBuffer>(gpu_buffer_);
}

template <>
std::unique_ptr<kaldren::ImageFrame> GlTexture::GetFrame<kaldren::ImageFrame>() const {
  // A texture made from an image frame has no buffer, and so no format to read back with.
  NSAssert(static_cast<bool>(gpu_buffer_), "gpu_buffer_ must be valid");
  if (!gpu_buffer_) return nullptr;
  // The CPU reads the buffer now: what GL drew into the texture must be in it first.
  if (cv_texture_ && helper_impl_ != nullptr) helper_impl_->WriteBackTextures();
  return CreateImageFrameForCVPixelBuffer(gpu_buffer_.pixel_buffer());
}

}  // namespace pellumo
