// GlContext on EAGL: creating the platform context and its texture cache, and binding
// contexts to threads.

#include <utility>

#include "base/logging.h"
#include "base/status_macros.h"
#include "gpu/gl_context.h"

namespace pellumo {

GlContext::StatusOrGlContext GlContext::Create(std::nullptr_t no_share, bool create_thread) {
  return Create(std::shared_ptr<EAGLSharegroup>(), create_thread);
}

GlContext::StatusOrGlContext GlContext::Create(const GlContext& share_context,
                                               bool create_thread) {
  return Create(share_context.context_->sharegroup(), create_thread);
}

GlContext::StatusOrGlContext GlContext::Create(const std::shared_ptr<EAGLContext>& share_context,
                                               bool create_thread) {
  return Create(share_context != nullptr ? share_context->sharegroup() : nullptr, create_thread);
}

GlContext::StatusOrGlContext GlContext::Create(std::shared_ptr<EAGLSharegroup> share_group,
                                               bool create_thread) {
  std::shared_ptr<GlContext> context(new GlContext());
  RETURN_IF_ERROR(context->CreateContext(std::move(share_group)));
  RETURN_IF_ERROR(context->FinishInitialization(create_thread));
  return context;
}

absl::Status GlContext::CreateContext(std::shared_ptr<EAGLSharegroup> share_group) {
  context_ = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3, share_group);
  if (context_ != nullptr) {
    gl_major_version_ = 3;
  } else {
    context_ = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES2, share_group);
    gl_major_version_ = 2;
  }
  RET_CHECK(context_) << "Could not create an EAGLContext";

  CVOpenGLESTextureCacheRef cache = nullptr;
  CVReturn err =
      CVOpenGLESTextureCacheCreate(kCFAllocatorDefault, nullptr, context_, nullptr, &cache);
  RET_CHECK_EQ(err, kCVReturnSuccess) << "Error at CVOpenGLESTextureCacheCreate";
  texture_cache_ = MakeCFHolderAdopting(cache);
  return absl::OkStatus();
}

void GlContext::DestroyContext() {
  if (*texture_cache_ != nullptr) CVOpenGLESTextureCacheFlush(*texture_cache_, 0);
}

bool GlContext::IsCurrent() const {
  return HasContext() && EAGLContext::currentContext() == context_;
}

void GlContext::GetCurrentContextBinding(ContextBinding* binding) {
  binding->context = EAGLContext::currentContext();
}

absl::Status GlContext::SetCurrentContextBinding(const ContextBinding& new_binding) {
  const bool success = EAGLContext::setCurrentContext(new_binding.context);
  RET_CHECK(success) << "Cannot set OpenGL context";
  return absl::OkStatus();
}

}  // namespace pellumo
