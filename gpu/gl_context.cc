#include "gpu/gl_context.h"

#include <pthread.h>

#include <string>
#include <utility>

#include "absl/strings/numbers.h"
#include "base/logging.h"
#include "base/status_macros.h"

namespace pellumo {

// ---------------------------------------------------------------------------------------------
// Dedicated thread

GlContext::DedicatedThread::DedicatedThread() {
  CHECK(pthread_create(&gl_thread_id_, nullptr, ThreadBody, this) == 0);
}

GlContext::DedicatedThread::~DedicatedThread() {
  if (IsCurrentThread()) {
    CHECK(self_destruct_);
    CHECK(pthread_detach(gl_thread_id_) == 0);
  } else {
    // Jobs queued before the stop signal still run.
    PutJob(nullptr);
    CHECK(pthread_join(gl_thread_id_, nullptr) == 0);
  }
}

void* GlContext::DedicatedThread::ThreadBody(void* instance) {
  static_cast<DedicatedThread*>(instance)->ThreadBody();
  return nullptr;
}

void GlContext::DedicatedThread::ThreadBody() {
  // Linux thread names have at most 15 characters.
  pthread_setname_np(pthread_self(), "pellumo_gl_runn");
  while (true) {
    Job job = GetJob();
    if (!job) break;
    job();
  }
  bool self_destruct;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    self_destruct = self_destruct_;
  }
  if (self_destruct) delete this;
}

void GlContext::DedicatedThread::PutJob(Job job) {
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_.push_back(std::move(job));
  has_jobs_cv_.notify_all();
}

GlContext::DedicatedThread::Job GlContext::DedicatedThread::GetJob() {
  std::unique_lock<std::mutex> lock(mutex_);
  has_jobs_cv_.wait(lock, [this] { return !jobs_.empty(); });
  Job job = std::move(jobs_.front());
  jobs_.pop_front();
  return job;
}

absl::Status GlContext::DedicatedThread::Run(std::function<absl::Status()> gl_func) {
  if (IsCurrentThread()) return gl_func();
  bool done = false;
  absl::Status status;
  PutJob([this, &gl_func, &done, &status] {
    status = gl_func();
    std::lock_guard<std::mutex> lock(mutex_);
    done = true;
    gl_job_done_cv_.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex_);
  gl_job_done_cv_.wait(lock, [&done] { return done; });
  return status;
}

void GlContext::DedicatedThread::RunWithoutWaiting(std::function<void()> gl_func) {
  CHECK(gl_func);
  PutJob(std::move(gl_func));
}

bool GlContext::DedicatedThread::IsCurrentThread() const {
  return pthread_equal(gl_thread_id_, pthread_self()) != 0;
}

void GlContext::DedicatedThread::SelfDestruct() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    self_destruct_ = true;
  }
  PutJob(nullptr);
}

// ---------------------------------------------------------------------------------------------
// Creation and destruction

GlContext::GlContext() = default;

GlContext::~GlContext() {
  if (dedicated_thread_ != nullptr) {
    absl::Status status = dedicated_thread_->Run([this] { return ExitContextBeingDestroyed(); });
    if (!status.ok()) {
      LOG(ERROR) << "Failed to deactivate context on thread: " << status;
    }
    if (dedicated_thread_->IsCurrentThread()) {
      // The thread deletes itself once this, its current job, has finished.
      dedicated_thread_.release()->SelfDestruct();
    }
  }
  DestroyContext();
}

absl::Status GlContext::FinishInitialization(bool create_thread) {
  if (create_thread) {
    dedicated_thread_ = std::make_unique<DedicatedThread>();
    RETURN_IF_ERROR(dedicated_thread_->Run([this] { return EnterContext(nullptr); }));
  }
  return Run([this]() -> absl::Status {
    auto version_string = [] {
      const GLubyte* text = glGetString(GL_VERSION);
      return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
    };
    const std::string version = version_string();
    glGetIntegerv(GL_MAJOR_VERSION, &gl_major_version_);
    if (glGetError() == GL_NO_ERROR) {
      glGetIntegerv(GL_MINOR_VERSION, &gl_minor_version_);
    } else {
      // OpenGL ES 2 has no integer version queries.
      GlVersionFromString(version, &gl_major_version_, &gl_minor_version_);
    }
    LOG(INFO) << "GL version: " << gl_major_version_ << "." << gl_minor_version_ << " ("
              << version_string() << ")";
    return absl::OkStatus();
  });
}

bool GlContext::ParseGlVersion(absl::string_view text, GLint* major, GLint* minor) {
  const size_t dot = text.find('.');
  if (dot == absl::string_view::npos || dot == 0) return false;
  size_t start = dot - 1;
  while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
  if (!absl::SimpleAtoi(text.substr(start, dot - start), major)) return false;
  absl::string_view rest = text.substr(dot + 1);
  return absl::SimpleAtoi(rest.substr(0, rest.find_first_of(" .")), minor);
}

void GlContext::GlVersionFromString(absl::string_view text, GLint* major, GLint* minor) {
  if (!ParseGlVersion(text, major, minor)) {
    LOG(WARNING) << "invalid GL_VERSION format: '" << text << "'; assuming 2.0";
    *major = 2;
    *minor = 0;
  }
}

// ---------------------------------------------------------------------------------------------
// Running work

std::weak_ptr<GlContext>& GlContext::CurrentContext() {
  thread_local std::weak_ptr<GlContext> current;
  return current;
}

std::shared_ptr<GlContext> GlContext::GetCurrent() { return CurrentContext().lock(); }

GlContext::ContextBinding GlContext::ThisContextBinding() {
  return ContextBinding{weak_from_this(), context_};
}

absl::Status GlContext::EnterContext(ContextBinding* saved) {
  return SwitchContext(saved, ThisContextBinding());
}

absl::Status GlContext::ExitContext(const ContextBinding* saved) {
  return SwitchContext(nullptr, saved != nullptr ? *saved : ContextBinding{});
}

absl::Status GlContext::ExitContextBeingDestroyed() {
  RETURN_IF_ERROR(SetCurrentContextBinding(ContextBinding{}));
  // The thread's reference is expired by now; it still names this context's control block.
  std::weak_ptr<GlContext>& current = CurrentContext();
  const std::weak_ptr<GlContext> self = weak_from_this();
  if (!current.owner_before(self) && !self.owner_before(current)) {
    context_use_mutex_.unlock();
    current.reset();
  }
  return absl::OkStatus();
}

absl::Status GlContext::SwitchContext(ContextBinding* saved, const ContextBinding& new_binding) {
  std::shared_ptr<GlContext> old_context_obj = CurrentContext().lock();
  std::shared_ptr<GlContext> new_context_obj = new_binding.context_object.lock();
  if (saved != nullptr) {
    saved->context_object = old_context_obj;
    GetCurrentContextBinding(saved);
  }
  // Nested use of the context already current on this thread.
  if (new_context_obj != nullptr && new_context_obj == old_context_obj) return absl::OkStatus();

  if (old_context_obj != nullptr) {
    RETURN_IF_ERROR(SetCurrentContextBinding(ContextBinding{}));
    old_context_obj->context_use_mutex_.unlock();
    CurrentContext().reset();
  }
  if (new_context_obj != nullptr) {
    new_context_obj->context_use_mutex_.lock();
    absl::Status status = SetCurrentContextBinding(new_binding);
    if (!status.ok()) {
      new_context_obj->context_use_mutex_.unlock();
      return status;
    }
    CurrentContext() = new_context_obj;
    return absl::OkStatus();
  }
  return SetCurrentContextBinding(new_binding);
}

absl::Status GlContext::Run(std::function<absl::Status()> gl_func, int node_id,
                            kaldren::Timestamp input_timestamp) {
  if (dedicated_thread_ != nullptr) {
    bool had_gl_errors = false;
    absl::Status status = dedicated_thread_->Run([this, &gl_func, &had_gl_errors] {
      absl::Status status = gl_func();
      had_gl_errors = CheckForGlErrors();
      return status;
    });
    LogUncheckedGlErrors(had_gl_errors);
    return status;
  }
  ContextBinding saved;
  RETURN_IF_ERROR(EnterContext(&saved));
  absl::Status status = gl_func();
  LogUncheckedGlErrors(CheckForGlErrors());
  RETURN_IF_ERROR(ExitContext(&saved));
  return status;
}

void GlContext::RunWithoutWaiting(std::function<void()> gl_func) {
  if (dedicated_thread_ != nullptr) {
    dedicated_thread_->RunWithoutWaiting(
        [self = shared_from_this(), gl_func = std::move(gl_func)] {
          gl_func();
          self->LogUncheckedGlErrors(self->CheckForGlErrors());
        });
    return;
  }
  ContextBinding saved;
  absl::Status status = EnterContext(&saved);
  if (!status.ok()) {
    LOG(ERROR) << "Failed to enter context: " << status;
    return;
  }
  gl_func();
  LogUncheckedGlErrors(CheckForGlErrors());
  status = ExitContext(&saved);
  if (!status.ok()) LOG(ERROR) << "Failed to exit context: " << status;
}

namespace {

const char* GlErrorName(GLenum error) {
  switch (error) {
    case GL_INVALID_ENUM:
      return "GL_INVALID_ENUM";
    case GL_INVALID_VALUE:
      return "GL_INVALID_VALUE";
    case GL_INVALID_OPERATION:
      return "GL_INVALID_OPERATION";
    case GL_INVALID_FRAMEBUFFER_OPERATION:
      return "GL_INVALID_FRAMEBUFFER_OPERATION";
    case GL_OUT_OF_MEMORY:
      return "GL_OUT_OF_MEMORY";
    default:
      return "UNKNOWN ERROR";
  }
}

}  // namespace

bool GlContext::CheckForGlErrors() {
  if (!HasContext()) return false;
  bool had_errors = false;
  GLenum error;
  while ((error = glGetError()) != GL_NO_ERROR) {
    had_errors = true;
    LOG(INFO) << "Found unchecked GL error: " << GlErrorName(error);
  }
  return had_errors;
}

void GlContext::LogUncheckedGlErrors(bool had_gl_errors) {
  if (had_gl_errors) LOG(WARNING) << "Ignoring unchecked GL error.";
}

// ---------------------------------------------------------------------------------------------
// Synchronisation

void GlContext::GlFinishCalled() {
  std::lock_guard<std::mutex> lock(finish_mutex_);
  ++gl_finish_count_;
  wait_for_gl_finish_cv_.notify_all();
}

void GlContext::WaitForGlFinishCountPast(int64_t count_to_pass) {
  if (gl_finish_count_ > count_to_pass) return;
  auto finish_task = [this, count_to_pass] {
    // When another glFinish happened in the meantime, there is nothing left to do.
    if (gl_finish_count_ == count_to_pass) {
      glFinish();
      GlFinishCalled();
    }
  };
  if (IsCurrent()) {
    // Queued work could not run before this returns, so do it here.
    finish_task();
    return;
  }
  RunWithoutWaiting(finish_task);
  std::unique_lock<std::mutex> lock(finish_mutex_);
  wait_for_gl_finish_cv_.wait(lock, [this, count_to_pass] {
    return gl_finish_count_ > count_to_pass;
  });
}

std::shared_ptr<GlSyncPoint> GlContext::CreateSyncToken() {
  return std::make_shared<GlFenceSyncPoint>(shared_from_this());
}

std::shared_ptr<GlSyncPoint> GlContext::TestOnly_CreateSpecificSyncToken(
    SyncTokenTypeForTest type) {
  if (type == SyncTokenTypeForTest::kGlFinish) {
    return std::make_shared<GlFinishSyncPoint>(shared_from_this());
  }
  return nullptr;
}

void GlContext::WaitSyncToken(const std::shared_ptr<GlSyncPoint>& token) {
  CHECK(token);
  token->Wait();
}

bool GlContext::SyncTokenIsReady(const std::shared_ptr<GlSyncPoint>& token) {
  CHECK(token);
  return token->IsReady();
}

GlFenceSyncPoint::GlFenceSyncPoint(const std::shared_ptr<GlContext>& gl_context)
    : GlSyncPoint(gl_context) {
  gl_context_->Run([this] {
    sync_ = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    glFlush();
    return absl::OkStatus();
  }).IgnoreError();
}

GlFenceSyncPoint::~GlFenceSyncPoint() {
  if (sync_ == nullptr) return;
  gl_context_->RunWithoutWaiting([sync = sync_] { glDeleteSync(sync); });
}

void GlFenceSyncPoint::Wait() {
  if (sync_ == nullptr) return;
  gl_context_->Run([this] {
    GLenum result = glClientWaitSync(sync_, 0, GL_TIMEOUT_IGNORED);
    if (result == GL_ALREADY_SIGNALED || result == GL_CONDITION_SATISFIED) {
      glDeleteSync(sync_);
      sync_ = nullptr;
    }
    return absl::OkStatus();
  }).IgnoreError();
}

void GlFenceSyncPoint::WaitOnGpu() {
  if (sync_ == nullptr) return;
  glWaitSync(sync_, 0, GL_TIMEOUT_IGNORED);
}

bool GlFenceSyncPoint::IsReady() {
  if (sync_ == nullptr) return true;
  bool ready = false;
  gl_context_->Run([this, &ready] {
    GLenum result = glClientWaitSync(sync_, 0, 0);
    if (result == GL_ALREADY_SIGNALED || result == GL_CONDITION_SATISFIED) {
      glDeleteSync(sync_);
      sync_ = nullptr;
      ready = true;
    }
    return absl::OkStatus();
  }).IgnoreError();
  return ready;
}

GlFinishSyncPoint::GlFinishSyncPoint(const std::shared_ptr<GlContext>& gl_context)
    : GlSyncPoint(gl_context), gl_finish_count_(gl_context->gl_finish_count()) {}

void GlFinishSyncPoint::Wait() { gl_context_->WaitForGlFinishCountPast(gl_finish_count_); }

bool GlFinishSyncPoint::IsReady() { return gl_context_->gl_finish_count() > gl_finish_count_; }

void GlMultiSyncPoint::Add(std::shared_ptr<GlSyncPoint> new_sync) {
  for (auto& sync : syncs_) {
    if (sync->context() == new_sync->context()) {
      sync = std::move(new_sync);
      return;
    }
  }
  syncs_.push_back(std::move(new_sync));
}

void GlMultiSyncPoint::Wait() {
  for (auto& sync : syncs_) sync->Wait();
  syncs_.clear();
}

void GlMultiSyncPoint::WaitOnGpu() {
  for (auto& sync : syncs_) sync->WaitOnGpu();
}

bool GlMultiSyncPoint::IsReady() {
  std::erase_if(syncs_, [](const std::shared_ptr<GlSyncPoint>& sync) { return sync->IsReady(); });
  return syncs_.empty();
}

}  // namespace pellumo
