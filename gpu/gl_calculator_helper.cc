#include "gpu/gl_calculator_helper.h"

#include <GLES2/gl2ext.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "base/status_macros.h"
#include "graph/legacy_calculator_support.h"
#include "platform/foundation/assertion_handler.h"

namespace pellumo {
namespace {

using kaldren::CalculatorContext;
using kaldren::CalculatorContract;
using kaldren::LegacyCalculatorSupport;

// Float textures are not filterable everywhere; everything else is sampled bilinearly.
void SetStandardTextureParams(GLenum target, GLint internal_format) {
  const GLint filter =
      internal_format == GL_R32F || internal_format == GL_RGBA32F ? GL_NEAREST : GL_LINEAR;
  glTexParameteri(target, GL_TEXTURE_MIN_FILTER, filter);
  glTexParameteri(target, GL_TEXTURE_MAG_FILTER, filter);
  glTexParameteri(target, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(target, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

// Texture attributes that tell the texture cache how a texture is used, so that it moves no
// pixels it need not: sources are only sampled, destinations are drawn over entirely.
CFDictionaryRef AccessAttributes(CFStringRef access) {
  const void* keys[] = {kStandInTextureAccessKey};
  const void* values[] = {access};
  return CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                            &kCFTypeDictionaryValueCallBacks);
}

CFDictionaryRef SourceAttributes() {
  static const CFDictionaryRef attributes = AccessAttributes(kStandInTextureAccessSampled);
  return attributes;
}

CFDictionaryRef DestinationAttributes() {
  static const CFDictionaryRef attributes = AccessAttributes(kStandInTextureAccessDrawnOver);
  return attributes;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// GlCalculatorHelperImpl

GlCalculatorHelperImpl::GlCalculatorHelperImpl(CalculatorContext* cc,
                                               GlGpuResources* gpu_resources)
    : gl_context_(gpu_resources->gl_context(cc)), gpu_resources_(gpu_resources) {}

GlCalculatorHelperImpl::~GlCalculatorHelperImpl() {
  gl_context_
      ->Run([this]() -> absl::Status {
        if (framebuffer_ != 0) {
          glDeleteFramebuffers(1, &framebuffer_);
          framebuffer_ = 0;
        }
        return absl::OkStatus();
      })
      .IgnoreError();
}

absl::Status GlCalculatorHelperImpl::RunInGlContext(std::function<absl::Status()> gl_func) {
  const CalculatorContext* cc = LegacyCalculatorSupport::Scoped<CalculatorContext>::current();
  if (cc == nullptr) return gl_context_->Run(std::move(gl_func));
  return gl_context_->Run(std::move(gl_func), cc->NodeId(), cc->InputTimestamp());
}

GlVersion GlCalculatorHelperImpl::GetGlVersion() const {
  return gl_context_->platform_context()->API() == kEAGLRenderingAPIOpenGLES3
             ? GlVersion::kOpenGlEs3
             : GlVersion::kOpenGlEs2;
}

void GlCalculatorHelperImpl::CreateFramebuffer() {
  glDisable(GL_DEPTH_TEST);
  glGenFramebuffers(1, &framebuffer_);
}

void GlCalculatorHelperImpl::BindFramebuffer(const GlTexture& dst) {
  if (framebuffer_ == 0) CreateFramebuffer();
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
  glViewport(0, 0, dst.width_, dst.height_);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(dst.target_, dst.name_);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, dst.target_, dst.name_, 0);
}

GlTexture GlCalculatorHelperImpl::MapGpuBuffer(const GpuBuffer& gpu_buffer, int plane,
                                               CFDictionaryRef texture_attributes) {
  GlTexture texture;
  texture.helper_impl_ = this;
  texture.gpu_buffer_ = gpu_buffer;
  texture.plane_ = plane;

  const GlTextureInfo& info =
      GlTextureInfoForGpuBufferFormat(gpu_buffer.format(), plane, GetGlVersion());
  texture.width_ = gpu_buffer.width();
  texture.height_ = gpu_buffer.height();

  CVOpenGLESTextureRef cv_texture = nullptr;
  const CVReturn err = CVOpenGLESTextureCacheCreateTextureFromImage(
      kCFAllocatorDefault, gl_context_->texture_cache(), gpu_buffer.pixel_buffer(),
      texture_attributes,
      GL_TEXTURE_2D, info.gl_internal_format, texture.width_ / info.downscale,
      texture.height_ / info.downscale, info.gl_format, info.gl_type, plane, &cv_texture);
  NSAssert(cv_texture != nullptr && err == kCVReturnSuccess,
           "Error at CVOpenGLESTextureCacheCreateTextureFromImage %d", err);
  // When the handler returns, the caller gets a texture without a GL name.
  if (cv_texture == nullptr) return texture;

  texture.cv_texture_ = MakeCFHolderAdopting(cv_texture);
  texture.target_ = CVOpenGLESTextureGetTarget(cv_texture);
  texture.name_ = CVOpenGLESTextureGetName(cv_texture);
  glBindTexture(texture.target_, texture.name_);
  SetStandardTextureParams(texture.target_, info.gl_internal_format);
  return texture;
}

GlTexture GlCalculatorHelperImpl::CreateSourceTexture(const GpuBuffer& gpu_buffer, int plane) {
  return MapGpuBuffer(gpu_buffer, plane, SourceAttributes());
}

GlTexture GlCalculatorHelperImpl::CreateSourceTexture(const kaldren::ImageFrame& image_frame) {
  GlTexture texture;
  texture.helper_impl_ = this;
  texture.target_ = GL_TEXTURE_2D;
  texture.width_ = image_frame.Width();
  texture.height_ = image_frame.Height();

  const GlTextureInfo& info = GlTextureInfoForGpuBufferFormat(
      GpuBufferFormatForImageFormat(image_frame.Format()), 0, GetGlVersion());
  // RGBA8 frames share the row of 'BGRA' buffers, whose texels GL takes in B, G, R, A order;
  // the frame's bytes are R, G, B, A.
  const GLenum format = info.gl_format == GL_BGRA_EXT ? GL_RGBA : info.gl_format;

  // Image frame rows are padded (to 16 bytes); GL is given tight rows, in a copy when the
  // frame has padding, and the caller's unpack alignment is put back afterwards.
  const int row_bytes = image_frame.Width() * image_frame.NumberOfChannels() *
                        image_frame.ByteDepth();
  const uint8_t* pixels = image_frame.PixelData();
  std::vector<uint8_t> tight;
  if (image_frame.WidthStep() != row_bytes) {
    tight.resize(static_cast<size_t>(row_bytes) * image_frame.Height());
    for (int y = 0; y < image_frame.Height(); ++y) {
      std::copy_n(pixels + static_cast<size_t>(y) * image_frame.WidthStep(), row_bytes,
                  tight.data() + static_cast<size_t>(y) * row_bytes);
    }
    pixels = tight.data();
  }
  GLint unpack_alignment = 4;
  glGetIntegerv(GL_UNPACK_ALIGNMENT, &unpack_alignment);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);

  glGenTextures(1, &texture.name_);
  glBindTexture(GL_TEXTURE_2D, texture.name_);
  glTexImage2D(GL_TEXTURE_2D, 0, info.gl_internal_format, texture.width_, texture.height_, 0,
               format, info.gl_type, pixels);
  glPixelStorei(GL_UNPACK_ALIGNMENT, unpack_alignment);
  SetStandardTextureParams(GL_TEXTURE_2D, info.gl_internal_format);
  return texture;
}

GlTexture GlCalculatorHelperImpl::CreateDestinationTexture(int width, int height,
                                                           GpuBufferFormat format) {
  if (framebuffer_ == 0) CreateFramebuffer();
  return MapGpuBuffer(gpu_resources_->gpu_buffer_pool().GetBuffer(width, height, format), 0,
                      DestinationAttributes());
}

void GlCalculatorHelperImpl::ReadTexture(const GlTexture& texture, void* output, size_t size) {
  // The product is an int: every texture size GL allows (at most 16384 a side) keeps
  // width x height x 4 below 2^31, and sizes are never negative.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
  CHECK(size >= texture.width_ * texture.height_ * 4);
#pragma GCC diagnostic pop
  GLint current_fbo = 0;
  glGetIntegerv(GL_FRAMEBUFFER_BINDING, &current_fbo);
  CHECK(current_fbo != 0);

  GLint color_attachment_name = 0;
  glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                        GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME,
                                        &color_attachment_name);
  GLint pack_alignment = 4;
  glGetIntegerv(GL_PACK_ALIGNMENT, &pack_alignment);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  if (static_cast<GLuint>(color_attachment_name) == texture.name_) {
    glReadPixels(0, 0, texture.width_, texture.height_, GL_RGBA, GL_UNSIGNED_BYTE, output);
  } else {
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    glViewport(0, 0, texture.width_, texture.height_);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, texture.target_, texture.name_,
                           0);
    glReadPixels(0, 0, texture.width_, texture.height_, GL_RGBA, GL_UNSIGNED_BYTE, output);
    glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D,
                           color_attachment_name, 0);
  }
  glPixelStorei(GL_PACK_ALIGNMENT, pack_alignment);
}

void GlCalculatorHelperImpl::WriteBackTextures() {
  if (GlContext::GetCurrent() == gl_context_) glFlush();
  CVOpenGLESTextureCacheFlush(gl_context_->texture_cache(), 0);
}

// ---------------------------------------------------------------------------------------------
// GlCalculatorHelper

absl::Status GlCalculatorHelper::UpdateContract(CalculatorContract* cc) {
  cc->UseService(kaldren::kGpuService);
  if (cc->InputSidePackets().HasTag(kaldren::kGpuSharedTagName)) {
    cc->InputSidePackets().Get(kaldren::kGpuSharedTagName, 0).Set<GpuSharedData*>();
  }
  return absl::OkStatus();
}

absl::Status GlCalculatorHelper::SetupInputSidePackets(
    kaldren::PacketTypeSet* input_side_packets) {
  CalculatorContract* cc = LegacyCalculatorSupport::Scoped<CalculatorContract>::current();
  if (cc != nullptr) {
    CHECK(input_side_packets == &cc->InputSidePackets());
    return UpdateContract(cc);
  }
  LOG(WARNING) << "CalculatorContract not available. If you're calling this from a "
                  "GetContract method, call GlCalculatorHelper::UpdateContract instead.";
  auto id = input_side_packets->GetId(kaldren::kGpuSharedTagName, 0);
  RET_CHECK(id.IsValid()) << "A " << kaldren::kGpuSharedTagName
                          << " input side packet is required here.";
  input_side_packets->Get(id).Set<GpuSharedData*>();
  return absl::OkStatus();
}

absl::Status GlCalculatorHelper::Open(CalculatorContext* cc) {
  CHECK(cc);
  GlGpuResources* resources = GlGpuResources::From(cc->Service(kaldren::kGpuService));
  impl_ = std::make_unique<GlCalculatorHelperImpl>(cc, resources);
  return absl::OkStatus();
}

absl::Status GlCalculatorHelper::Open(const kaldren::PacketSet& input_side_packets) {
  CalculatorContext* cc = LegacyCalculatorSupport::Scoped<CalculatorContext>::current();
  if (cc != nullptr) {
    CHECK(&input_side_packets == &cc->InputSidePackets());
    return Open(cc);
  }
  LOG(WARNING) << "CalculatorContext not available. If this calculator uses CalculatorBase, "
                  "call GlCalculatorHelper::Open(CalculatorContext*).";
  auto* gpu_shared =
      input_side_packets.Get(kaldren::kGpuSharedTagName, 0).Get<GpuSharedData*>();
  InitializeForTest(gpu_shared);
  return absl::OkStatus();
}

void GlCalculatorHelper::InitializeForTest(GpuSharedData* gpu_shared) {
  InitializeForTest(gpu_shared->physical_gpu_resources.get());
}

void GlCalculatorHelper::InitializeForTest(GpuResources* gpu_resources) {
  impl_ = std::make_unique<GlCalculatorHelperImpl>(nullptr, GlGpuResources::From(gpu_resources));
}

absl::Status GlCalculatorHelper::RunInGlContext(std::function<absl::Status()> gl_func) {
  if (impl_ == nullptr) return absl::InternalError("helper not initialized");
  return impl_->RunInGlContext(std::move(gl_func));
}

void GlCalculatorHelper::GetGpuBufferDimensions(const GpuBuffer& gpu_buffer, int* width,
                                                int* height) {
  CHECK(width);
  CHECK(height);
  *width = gpu_buffer.width();
  *height = gpu_buffer.height();
}

}  // namespace pellumo
