#include "platform/eagl/eagl.h"

#include <EGL/eglext.h>

#include <atomic>
#include <utility>

#include "base/logging.h"

namespace platform::eagl {
namespace {

std::atomic<bool> refuse_es3{false};

// The thread's current context. Ending the thread unbinds it, so that the context can be made
// current elsewhere and destroyed once the last reference goes.
struct ThreadCurrent {
  std::shared_ptr<EAGLContext> context;
  ~ThreadCurrent() {
    if (context != nullptr) {
      eglMakeCurrent(Display(), EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    }
  }
};
thread_local ThreadCurrent thread_current;

// A new EGL context of OpenGL ES `major` sharing with `share` (EGL_NO_CONTEXT: none).
EGLContext CreateEglContext(int major, EGLContext share) {
  EGLDisplay display = Display();
  if (display == EGL_NO_DISPLAY) return EGL_NO_CONTEXT;
  if (eglBindAPI(EGL_OPENGL_ES_API) != EGL_TRUE) return EGL_NO_CONTEXT;
  const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION, major, EGL_CONTEXT_MINOR_VERSION, 0,
                               EGL_NONE};
  // No config: contexts are only ever made current without a surface.
  EGLContext context = eglCreateContext(display, EGL_NO_CONFIG_KHR, share, attributes);
  if (context == EGL_NO_CONTEXT) {
    LOG(ERROR) << "eglCreateContext failed: 0x" << std::hex << eglGetError();
  }
  return context;
}

}  // namespace

EGLDisplay Display() {
  static const EGLDisplay display = [] {
    auto get_platform_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (get_platform_display == nullptr) {
      LOG(ERROR) << "EGL has no eglGetPlatformDisplayEXT";
      return EGL_NO_DISPLAY;
    }
    EGLDisplay d = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    EGLint major = 0, minor = 0;
    if (d == EGL_NO_DISPLAY || eglInitialize(d, &major, &minor) != EGL_TRUE) {
      LOG(ERROR) << "No surfaceless EGL display: 0x" << std::hex << eglGetError();
      return EGL_NO_DISPLAY;
    }
    return d;
  }();
  return display;
}

void SetRefuseOpenGLES3(bool refuse) { refuse_es3.store(refuse); }

}  // namespace platform::eagl

using platform::eagl::Display;

std::shared_ptr<EAGLSharegroup> EAGLSharegroup::Create() {
  // The anchor's version does not limit the group: contexts of either version share with it.
  EGLContext anchor = platform::eagl::CreateEglContext(2, EGL_NO_CONTEXT);
  if (anchor == EGL_NO_CONTEXT) return nullptr;
  return std::shared_ptr<EAGLSharegroup>(new EAGLSharegroup(anchor));
}

EAGLSharegroup::~EAGLSharegroup() { eglDestroyContext(Display(), anchor_); }

bool EAGLSharegroup::EnterServiceContext(EGLDisplay* display, EGLSurface* draw, EGLSurface* read,
                                         EGLContext* context) {
  *display = eglGetCurrentDisplay();
  *draw = eglGetCurrentSurface(EGL_DRAW);
  *read = eglGetCurrentSurface(EGL_READ);
  *context = eglGetCurrentContext();
  if (eglMakeCurrent(Display(), EGL_NO_SURFACE, EGL_NO_SURFACE, anchor_) != EGL_TRUE) {
    LOG(ERROR) << "Cannot make the share group's service context current: 0x" << std::hex
               << eglGetError();
    return false;
  }
  return true;
}

void EAGLSharegroup::ExitServiceContext(EGLDisplay display, EGLSurface draw, EGLSurface read,
                                        EGLContext context) {
  EGLBoolean ok = context == EGL_NO_CONTEXT
                      ? eglMakeCurrent(Display(), EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT)
                      : eglMakeCurrent(display, draw, read, context);
  CHECK(ok == EGL_TRUE) << "Cannot restore the EGL context after the service context: 0x"
                        << std::hex << eglGetError();
}

std::shared_ptr<EAGLContext> EAGLContext::initWithAPI(EAGLRenderingAPI api) {
  return initWithAPI(api, nullptr);
}

std::shared_ptr<EAGLContext> EAGLContext::initWithAPI(EAGLRenderingAPI api,
                                                      std::shared_ptr<EAGLSharegroup> sharegroup) {
  if (api != kEAGLRenderingAPIOpenGLES2 && api != kEAGLRenderingAPIOpenGLES3) return nullptr;
  if (api == kEAGLRenderingAPIOpenGLES3 && platform::eagl::refuse_es3.load()) return nullptr;
  if (sharegroup == nullptr) {
    sharegroup = EAGLSharegroup::Create();
    if (sharegroup == nullptr) return nullptr;
  }
  EGLContext context = platform::eagl::CreateEglContext(api, sharegroup->anchor());
  if (context == EGL_NO_CONTEXT) return nullptr;
  return std::shared_ptr<EAGLContext>(new EAGLContext(api, std::move(sharegroup), context));
}

// Never current anywhere by now: a thread holds a reference to its current context.
EAGLContext::~EAGLContext() { eglDestroyContext(Display(), egl_context_); }

bool EAGLContext::setCurrentContext(std::shared_ptr<EAGLContext> context) {
  auto& current = platform::eagl::thread_current;
  EGLDisplay display = Display();
  if (display == EGL_NO_DISPLAY) return context == nullptr;
  EGLContext egl = context != nullptr ? context->egl_context_ : EGL_NO_CONTEXT;
  if (eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, egl) != EGL_TRUE) return false;
  current.context = std::move(context);
  return true;
}

std::shared_ptr<EAGLContext> EAGLContext::currentContext() {
  return platform::eagl::thread_current.context;
}
