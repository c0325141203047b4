#include "graph/thread_pool_executor.h"

#include <memory>
#include <string>
#include <utility>

#include "base/logging.h"
#include "base/status_macros.h"
#include "graph/registration_macros.h"
#include "graph/thread_pool_executor.pb.h"

namespace kaldren {

namespace {

constexpr char kDefaultNamePrefix[] = "pellumo";

}  // namespace

util::StatusOr<Executor*> ThreadPoolExecutor::Create(const pellumo::PellumoOptions& options) {
  const pellumo::ThreadPoolExecutorOptions& executor_options =
      options.GetExtension(pellumo::ThreadPoolExecutorOptions::ext);
  if (!executor_options.has_num_threads()) {
    return absl::InvalidArgumentError(
        "num_threads is not specified in ThreadPoolExecutorOptions.");
  }
  if (executor_options.num_threads() <= 0) {
    return util::InvalidArgumentErrorBuilder(QM_LOC)
           << "The num_threads field in ThreadPoolExecutorOptions should be positive but is "
           << executor_options.num_threads();
  }
  ThreadOptions thread_options;
  if (executor_options.has_stack_size()) {
    if (executor_options.stack_size() <= 0) {
      return util::InvalidArgumentErrorBuilder(QM_LOC)
             << "The stack_size field in ThreadPoolExecutorOptions should be positive but is "
             << executor_options.stack_size();
    }
    thread_options.set_stack_size(executor_options.stack_size());
  }
  if (executor_options.has_nice_level()) {
    thread_options.set_nice_level(executor_options.nice_level());
  }
  if (executor_options.has_name_prefix()) {
    thread_options.set_name_prefix(executor_options.name_prefix());
  }
  std::unique_ptr<ThreadPoolExecutor> executor(
      new ThreadPoolExecutor(thread_options, executor_options.num_threads(), DeferStart()));
  RETURN_IF_ERROR(executor->Start());
  return executor.release();
}

ThreadPoolExecutor::ThreadPoolExecutor(int num_threads)
    : thread_pool_(kDefaultNamePrefix, num_threads) {
  CHECK_EQ(absl::OkStatus(), Start());
}

ThreadPoolExecutor::ThreadPoolExecutor(const ThreadOptions& thread_options, int num_threads)
    : ThreadPoolExecutor(thread_options, num_threads, DeferStart()) {
  CHECK_EQ(absl::OkStatus(), Start());
}

ThreadPoolExecutor::ThreadPoolExecutor(const ThreadOptions& thread_options, int num_threads,
                                       DeferStart)
    : thread_pool_(thread_options,
                   thread_options.name_prefix().empty() ? std::string(kDefaultNamePrefix)
                                                        : thread_options.name_prefix(),
                   num_threads) {}

ThreadPoolExecutor::~ThreadPoolExecutor() { VLOG(2) << "Terminating thread pool."; }

absl::Status ThreadPoolExecutor::Start() {
  RETURN_IF_ERROR(thread_pool_.StartWorkers());
  VLOG(2) << "Started thread pool with " << thread_pool_.num_threads() << " threads.";
  return absl::OkStatus();
}

void ThreadPoolExecutor::Schedule(std::function<void()> task) {
  thread_pool_.Schedule(std::move(task));
}

REGISTER_EXECUTOR(ThreadPoolExecutor);

}  // namespace kaldren
