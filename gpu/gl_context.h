// pellumo::GlContext: one OpenGL ES context (EAGL) with the Core Video texture cache made for
// it, and the tokens that let callers wait for GL work.
//
//   ASSIGN_OR_RETURN(std::shared_ptr<GlContext> context, GlContext::Create(nullptr, false));
//   RETURN_IF_ERROR(context->Run([&]() -> absl::Status {
//     glClear(GL_COLOR_BUFFER_BIT);   // runs here, with the context current
//     return absl::OkStatus();
//   }));
//
// Work runs on the calling thread: `Run` makes the context current, runs the work, drains and
// logs GL errors the work left unchecked (one INFO line each and one WARNING "Ignoring
// unchecked GL error."; they never change the status), and restores whatever binding the
// thread had before. A context is current on at most one thread at a time: a second thread
// that wants it waits until the first has switched away. `Run` of the context already current
// on the thread (nested use) switches nothing and takes no lock; `Run` of another context
// inside it releases the outer context for the duration of the inner work.
//
// A context created with `create_thread` true owns a dedicated thread ("pellumo_gl_runn") on
// which it stays current; then `Run` hands the work to that thread and waits, and
// `RunWithoutWaiting` only queues it.
//
// Contexts are always owned through std::shared_ptr (Create returns one). All functions are
// thread-safe.

#ifndef GPU_GL_CONTEXT_H_
#define GPU_GL_CONTEXT_H_

#include <GLES3/gl3.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "absl/strings/string_view.h"
#include "base/status.h"
#include "base/statusor.h"
#include "gpu/cf_holder.h"
#include "graph/timestamp.h"
#include "platform/eagl/cv_opengles_texture_cache.h"
#include "platform/eagl/eagl.h"

namespace kaldren {
class ProfilingContext;
}  // namespace kaldren

namespace pellumo {

class GlContext;

// A point in the GL command stream that callers can wait for.
class GlSyncPoint {
 public:
  explicit GlSyncPoint(std::shared_ptr<GlContext> gl_context)
      : gl_context_(std::move(gl_context)) {}
  virtual ~GlSyncPoint() = default;
  GlSyncPoint(const GlSyncPoint&) = delete;
  GlSyncPoint& operator=(const GlSyncPoint&) = delete;

  // Blocks until the GL work before the token has finished.
  virtual void Wait() = 0;
  // Makes the GPU wait, in the context current on the calling thread, instead of the CPU.
  virtual void WaitOnGpu() { Wait(); }
  // Whether the GL work before the token has finished; never blocks on the GPU.
  virtual bool IsReady() = 0;

  const GlContext* context() const { return gl_context_.get(); }

 protected:
  std::shared_ptr<GlContext> gl_context_;
};

// A GL fence inserted (and flushed) when the token is made.
class GlFenceSyncPoint : public GlSyncPoint {
 public:
  explicit GlFenceSyncPoint(const std::shared_ptr<GlContext>& gl_context);
  ~GlFenceSyncPoint() override;

  void Wait() override;
  void WaitOnGpu() override;
  bool IsReady() override;

 private:
  GLsync sync_ = nullptr;  // null once seen signalled (and deleted)
};

// Ready once the context's GL-finish count has passed the count at the token's creation.
class GlFinishSyncPoint : public GlSyncPoint {
 public:
  explicit GlFinishSyncPoint(const std::shared_ptr<GlContext>& gl_context);

  void Wait() override;
  bool IsReady() override;

 private:
  int64_t gl_finish_count_;
};

// Tokens of several contexts, at most one per context (a newer token replaces an older one).
class GlMultiSyncPoint : public GlSyncPoint {
 public:
  GlMultiSyncPoint() : GlSyncPoint(nullptr) {}

  void Add(std::shared_ptr<GlSyncPoint> new_sync);
  // Waits for every token in order, then forgets them.
  void Wait() override;
  void WaitOnGpu() override;
  // Drops the tokens that are ready; true when none is left.
  bool IsReady() override;

 private:
  std::vector<std::shared_ptr<GlSyncPoint>> syncs_;
};

class GlContext : public std::enable_shared_from_this<GlContext> {
 public:
  using StatusOrGlContext = util::StatusOr<std::shared_ptr<GlContext>>;

  // A new context in `share_group` (a new share group when null), OpenGL ES 3 when the
  // platform allows it, else OpenGL ES 2. Errors are RET_CHECK failures: "Could not create an
  // EAGLContext", "Error at CVOpenGLESTextureCacheCreate".
  static StatusOrGlContext Create(std::shared_ptr<EAGLSharegroup> share_group, bool create_thread);
  // In the share group of `share_context` (a new one when null).
  static StatusOrGlContext Create(const std::shared_ptr<EAGLContext>& share_context,
                                  bool create_thread);
  // In the share group of `share_context`.
  static StatusOrGlContext Create(const GlContext& share_context, bool create_thread);
  // In a share group of its own.
  static StatusOrGlContext Create(std::nullptr_t no_share, bool create_thread);

  ~GlContext();
  GlContext(const GlContext&) = delete;
  GlContext& operator=(const GlContext&) = delete;

  // Runs `gl_func` with this context current and returns its status, or the error of making
  // the context current (then `gl_func` does not run) or of restoring the previous binding.
  // `node_id` and `input_timestamp` are what a calculator passes for profiling; no profiler
  // exists here, so they take no part.
  absl::Status Run(std::function<absl::Status()> gl_func, int node_id = -1,
                   kaldren::Timestamp input_timestamp = kaldren::Timestamp::Unset());
  // Runs `gl_func` with this context current; failures to switch are logged ("Failed to enter
  // context: " drops the work, "Failed to exit context: "). With a dedicated thread it only
  // queues the work (the queued job keeps this context alive).
  void RunWithoutWaiting(std::function<void()> gl_func);

  // Accepted for a GL profiler this system does not have; no effect.
  void SetProfilingContext(std::shared_ptr<kaldren::ProfilingContext> profiling_context) {}

  const std::shared_ptr<EAGLContext>& platform_context() const { return context_; }
  CVOpenGLESTextureCacheRef texture_cache() const { return *texture_cache_; }

  bool HasContext() const { return context_ != nullptr; }
  // Whether the platform's current context of the calling thread is this one.
  bool IsCurrent() const;
  // The context made current on this thread through this class, or null.
  static std::shared_ptr<GlContext> GetCurrent();

  // Synchronisation.
  std::shared_ptr<GlSyncPoint> CreateSyncToken();
  enum class SyncTokenTypeForTest { kGlFinish = 0 };
  // A GlFinishSyncPoint for kGlFinish, null for any other value.
  std::shared_ptr<GlSyncPoint> TestOnly_CreateSpecificSyncToken(SyncTokenTypeForTest type);
  // Fatal ("token") for a null token.
  void WaitSyncToken(const std::shared_ptr<GlSyncPoint>& token);
  bool SyncTokenIsReady(const std::shared_ptr<GlSyncPoint>& token);
  // Counts a glFinish the caller has made and wakes the waiters of WaitForGlFinishCountPast.
  void GlFinishCalled();
  // Returns once the GL-finish count is greater than `count_to_pass`, calling glFinish in this
  // context when nobody else will.
  void WaitForGlFinishCountPast(int64_t count_to_pass);
  int64_t gl_finish_count() const { return gl_finish_count_.load(); }

 private:
  class DedicatedThread;
  friend class GlContextTestPeer;

  // What is made current on a thread, and what is saved to be restored.
  struct ContextBinding {
    std::weak_ptr<GlContext> context_object;
    std::shared_ptr<EAGLContext> context;
  };

  GlContext();

  absl::Status CreateContext(std::shared_ptr<EAGLSharegroup> share_group);
  absl::Status FinishInitialization(bool create_thread);
  void DestroyContext();
  ContextBinding ThisContextBinding();
  absl::Status EnterContext(ContextBinding* saved);
  absl::Status ExitContext(const ContextBinding* saved);
  // The dedicated thread's last job: unbinds this context, which is being destroyed (so the
  // thread's weak reference to it can no longer be locked), and releases its mutex.
  absl::Status ExitContextBeingDestroyed();
  static absl::Status SwitchContext(ContextBinding* saved, const ContextBinding& new_binding);
  static void GetCurrentContextBinding(ContextBinding* binding);
  static absl::Status SetCurrentContextBinding(const ContextBinding& binding);
  static std::weak_ptr<GlContext>& CurrentContext();

  bool CheckForGlErrors();
  void LogUncheckedGlErrors(bool had_gl_errors);
  // Reads the version numbers in `text` ("OpenGL ES 3.2 Mesa ..."); false when it has none.
  static bool ParseGlVersion(absl::string_view text, GLint* major, GLint* minor);
  // The numbers of `text`, or 2.0 with a WARNING when it cannot be parsed.
  static void GlVersionFromString(absl::string_view text, GLint* major, GLint* minor);

  std::shared_ptr<EAGLContext> context_;
  CFHolder<CVOpenGLESTextureCacheRef> texture_cache_;
  std::unique_ptr<DedicatedThread> dedicated_thread_;
  GLint gl_major_version_ = 0;
  GLint gl_minor_version_ = 0;
  std::atomic<int64_t> gl_finish_count_{0};
  std::mutex context_use_mutex_;
  std::mutex finish_mutex_;
  std::condition_variable wait_for_gl_finish_cv_;
};

// The worker thread of a context created with create_thread: runs jobs one at a time in
// queue order.
class GlContext::DedicatedThread {
 public:
  DedicatedThread();
  ~DedicatedThread();
  DedicatedThread(const DedicatedThread&) = delete;
  DedicatedThread& operator=(const DedicatedThread&) = delete;

  // Runs `gl_func` on the thread and returns its status (directly when called on it).
  absl::Status Run(std::function<absl::Status()> gl_func);
  // Queues `gl_func` (fatal when empty).
  void RunWithoutWaiting(std::function<void()> gl_func);
  bool IsCurrentThread() const;
  // Makes the thread delete this object once the current job has finished.
  void SelfDestruct();

 private:
  using Job = std::function<void()>;
  static void* ThreadBody(void* instance);
  void ThreadBody();
  void PutJob(Job job);
  Job GetJob();

  std::mutex mutex_;
  std::condition_variable gl_job_done_cv_;
  pthread_t gl_thread_id_;
  std::deque<Job> jobs_;
  std::condition_variable has_jobs_cv_;
  bool self_destruct_ = false;
};

}  // namespace pellumo

#endif  // GPU_GL_CONTEXT_H_
