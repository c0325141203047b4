// The executor that runs graph tasks on a thread pool: the graph's default executor.

#ifndef QUILLMERE_GRAPH_THREAD_POOL_EXECUTOR_H_
#define QUILLMERE_GRAPH_THREAD_POOL_EXECUTOR_H_

#include <functional>

#include "base/statusor.h"
#include "graph/executor.h"
#include "graph/thread_pool.h"
#include "graph_config/pellumo_options.pb.h"

namespace kaldren {

class ThreadPoolExecutor : public Executor {
 public:
  // Creates an executor from the `pellumo::ThreadPoolExecutorOptions` extension of `options`
  // (its default when absent). `num_threads` must be present and positive, and `stack_size`
  // positive when present. When the system cannot create that many threads the result is
  // RESOURCE_EXHAUSTED. The caller owns the result. Registered as "ThreadPoolExecutor".
  static util::StatusOr<Executor*> Create(const pellumo::PellumoOptions& options);

  // Starts `num_threads` workers named "pellumo/<thread id>". A worker thread that cannot be
  // created ends the process; `Create` reports it instead.
  explicit ThreadPoolExecutor(int num_threads);
  // Starts `num_threads` workers named after the options' name prefix, "pellumo" when empty.
  ThreadPoolExecutor(const ThreadOptions& thread_options, int num_threads);

  // Runs every queued task, then joins the workers.
  ~ThreadPoolExecutor() override;

  void Schedule(std::function<void()> task) override;

  int num_threads() const { return thread_pool_.num_threads(); }
  const ThreadOptions& thread_options() const { return thread_pool_.thread_options(); }

 private:
  struct DeferStart {};
  ThreadPoolExecutor(const ThreadOptions& thread_options, int num_threads, DeferStart);

  absl::Status Start();

  ThreadPool thread_pool_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_THREAD_POOL_EXECUTOR_H_
