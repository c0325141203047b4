#ifndef PLATFORM_EAGL_EAGL_H_
#define PLATFORM_EAGL_EAGL_H_

// EAGL: OpenGL ES rendering contexts, their share groups and the current context of a thread,
// over Mesa's EGL on a surfaceless display (no window system, no display server needed).
//
//   std::shared_ptr<EAGLContext> context = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES3);
//   if (!context) context = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES2);
//   EAGLContext::setCurrentContext(context);       // GL calls on this thread now use it
//   glClear(GL_COLOR_BUFFER_BIT);                   // real OpenGL ES, rendered by llvmpipe
//   EAGLContext::setCurrentContext(nullptr);
//
// A context is made current without a surface: drawing goes to framebuffer objects the caller
// makes. Contexts made with the same share group share textures, buffers, programs and syncs
// (EGL share contexts); a context made without one gets a new share group of its own.
//
// Current context: each thread has its own; the thread holds a reference to it until another
// is made current or the thread ends (which unbinds it). As with EGL, a context can be current
// on only one thread at a time: making it current on a second thread fails (returns false)
// until the first thread has switched away.
//
// Every function is thread-safe.

#include <EGL/egl.h>

#include <memory>
#include <mutex>


enum EAGLRenderingAPI {
  kEAGLRenderingAPIOpenGLES1 = 1,
  kEAGLRenderingAPIOpenGLES2 = 2,
  kEAGLRenderingAPIOpenGLES3 = 3,
};

// A set of contexts that share GL objects. Made by EAGLContext when none is given; kept alive
// by its contexts and by whoever holds it.
class EAGLSharegroup {
 public:
  ~EAGLSharegroup();
  EAGLSharegroup(const EAGLSharegroup&) = delete;
  EAGLSharegroup& operator=(const EAGLSharegroup&) = delete;

  // Null when EGL cannot make a context.
  static std::shared_ptr<EAGLSharegroup> Create();

  // Stand-in internals (the texture cache's use).
  //
  // The EGL context every context of the group is created to share with, so that the group
  // outlives any one of its contexts. It is never handed to callers; the group uses it as its
  // service context (below).
  EGLContext anchor() const { return anchor_; }
  // Runs `work` with the group's service context current on the calling thread and restores
  // the thread's EGL binding afterwards; false (and `work` not run) when EGL refuses. Calls
  // are serialised. `work` may use any GL object of the group and leaves GL state of the
  // caller's own context untouched; it must not call back into EAGL.
  template <typename F>
  bool RunInServiceContext(F&& work);

 private:
  explicit EAGLSharegroup(EGLContext anchor) : anchor_(anchor) {}
  bool EnterServiceContext(EGLDisplay* display, EGLSurface* draw, EGLSurface* read,
                           EGLContext* context);
  void ExitServiceContext(EGLDisplay display, EGLSurface draw, EGLSurface read, EGLContext context);

  const EGLContext anchor_;
  std::mutex service_mutex_;
};

class EAGLContext {
 public:
  ~EAGLContext();
  EAGLContext(const EAGLContext&) = delete;
  EAGLContext& operator=(const EAGLContext&) = delete;

  // A new context of `api` (2 or 3) in a share group of its own, or null when the platform
  // refuses the API (version 1 always; version 3 while the test hook refuses it).
  static std::shared_ptr<EAGLContext> initWithAPI(EAGLRenderingAPI api);
  // The same in `sharegroup`; a null share group gives a new one.
  static std::shared_ptr<EAGLContext> initWithAPI(EAGLRenderingAPI api,
                                                  std::shared_ptr<EAGLSharegroup> sharegroup);

  EAGLRenderingAPI API() const { return api_; }
  const std::shared_ptr<EAGLSharegroup>& sharegroup() const { return sharegroup_; }

  // Makes `context` current on the calling thread (null: no context). False, with the
  // thread's current context unchanged, when EGL refuses (the context is current on another
  // thread).
  static bool setCurrentContext(std::shared_ptr<EAGLContext> context);
  // The calling thread's current context, or null.
  static std::shared_ptr<EAGLContext> currentContext();

  // Stand-in internal: the EGL context behind this one.
  EGLContext egl_context() const { return egl_context_; }

 private:
  EAGLContext(EAGLRenderingAPI api, std::shared_ptr<EAGLSharegroup> sharegroup,
              EGLContext egl_context)
      : api_(api), sharegroup_(std::move(sharegroup)), egl_context_(egl_context) {}

  const EAGLRenderingAPI api_;
  const std::shared_ptr<EAGLSharegroup> sharegroup_;
  const EGLContext egl_context_;
};

namespace platform::eagl {

// The process's surfaceless EGL display, initialised on first use; EGL_NO_DISPLAY when Mesa's
// surfaceless platform is missing.
EGLDisplay Display();

// Test hook: while set, initWithAPI refuses OpenGL ES 3 (as an older device does), so callers
// take their OpenGL ES 2 path.
void SetRefuseOpenGLES3(bool refuse);

// Sets the hook for a scope and clears it at the end.
class ScopedRefuseOpenGLES3 {
 public:
  ScopedRefuseOpenGLES3() { SetRefuseOpenGLES3(true); }
  ~ScopedRefuseOpenGLES3() { SetRefuseOpenGLES3(false); }
  ScopedRefuseOpenGLES3(const ScopedRefuseOpenGLES3&) = delete;
  ScopedRefuseOpenGLES3& operator=(const ScopedRefuseOpenGLES3&) = delete;
};

}  // namespace platform::eagl

template <typename F>
bool EAGLSharegroup::RunInServiceContext(F&& work) {
  std::lock_guard<std::mutex> lock(service_mutex_);
  EGLDisplay display;
  EGLSurface draw, read;
  EGLContext previous;
  if (!EnterServiceContext(&display, &draw, &read, &previous)) return false;
  work();
  ExitServiceContext(display, draw, read, previous);
  return true;
}

#endif  // PLATFORM_EAGL_EAGL_H_
