#include "graph/thread_pool_executor.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <latch>
#include <mutex>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "graph/registration_macros.h"
#include "graph/thread_pool_executor.pb.h"

namespace kaldren {
namespace {

using pellumo::PellumoOptions;
using pellumo::ThreadPoolExecutorOptions;

PellumoOptions WithExecutorOptions(const std::function<void(ThreadPoolExecutorOptions*)>& fill) {
  PellumoOptions options;
  fill(options.MutableExtension(ThreadPoolExecutorOptions::ext));
  return options;
}

// The name of the worker thread that runs a task on `executor`.
std::string WorkerName(Executor* executor) {
  std::string name;
  std::latch done(1);
  executor->Schedule([&] {
    std::ifstream file("/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/comm");
    std::getline(file, name);
    done.count_down();
  });
  done.wait();
  return name;
}

TEST(ThreadPoolExecutorTest, CreateRefusesMissingOrNonPositiveSettings) {
  struct Case {
    PellumoOptions options;
    std::string message;
  };
  const Case cases[] = {
      {PellumoOptions(), "num_threads is not specified in ThreadPoolExecutorOptions."},
      {WithExecutorOptions([](ThreadPoolExecutorOptions* o) { o->set_nice_level(1); }),
       "num_threads is not specified in ThreadPoolExecutorOptions."},
      {WithExecutorOptions([](ThreadPoolExecutorOptions* o) { o->set_num_threads(0); }),
       "The num_threads field in ThreadPoolExecutorOptions should be positive but is 0"},
      {WithExecutorOptions([](ThreadPoolExecutorOptions* o) { o->set_num_threads(-1); }),
       "The num_threads field in ThreadPoolExecutorOptions should be positive but is -1"},
      {WithExecutorOptions([](ThreadPoolExecutorOptions* o) {
         o->set_num_threads(2);
         o->set_stack_size(0);
       }),
       "The stack_size field in ThreadPoolExecutorOptions should be positive but is 0"},
  };
  for (const Case& c : cases) {
    util::StatusOr<Executor*> executor = ThreadPoolExecutor::Create(c.options);
    ASSERT_FALSE(executor.ok()) << c.message;
    EXPECT_EQ(executor.status().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(executor.status().message(), c.message);
  }
}

TEST(ThreadPoolExecutorTest, CreateAppliesTheOptionsItReads) {
  util::StatusOr<Executor*> created =
      ThreadPoolExecutor::Create(WithExecutorOptions([](ThreadPoolExecutorOptions* o) {
        o->set_num_threads(3);
        o->set_stack_size(1 << 20);
        o->set_name_prefix("");
        o->set_processor_performance(ThreadPoolExecutorOptions::HIGH);
      }));
  ASSERT_TRUE(created.ok()) << created.status();
  std::unique_ptr<ThreadPoolExecutor> executor(static_cast<ThreadPoolExecutor*>(*created));
  EXPECT_EQ(executor->num_threads(), 3);
  EXPECT_EQ(executor->thread_options().stack_size(), 1u << 20);
  EXPECT_TRUE(executor->thread_options().cpu_set().empty());
  EXPECT_EQ(WorkerName(executor.get()).rfind("pellumo/", 0), 0u);

  ThreadPoolExecutor named(ThreadOptions().set_name_prefix("graphworker"), 1);
  EXPECT_EQ(WorkerName(&named).rfind("graphworker/", 0), 0u);
}

TEST(ThreadPoolExecutorTest, IsRegisteredAsThreadPoolExecutor) {
  EXPECT_TRUE(ExecutorRegistry::IsRegistered("ThreadPoolExecutor"));
  util::StatusOr<Executor*> created = ExecutorRegistry::CreateByName(
      "ThreadPoolExecutor",
      WithExecutorOptions([](ThreadPoolExecutorOptions* o) { o->set_num_threads(2); }));
  ASSERT_TRUE(created.ok()) << created.status();
  std::unique_ptr<Executor> executor(*created);
  EXPECT_EQ(WorkerName(executor.get()).rfind("pellumo/", 0), 0u);

  EXPECT_EQ(ExecutorRegistry::CreateByName("ThreadPoolExecutor", PellumoOptions()).status(),
            absl::InvalidArgumentError(
                "num_threads is not specified in ThreadPoolExecutorOptions."));
}

class CountingQueue : public TaskQueue {
 public:
  void RunNextTask() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++runs_;
  }
  int runs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return runs_;
  }

 private:
  std::mutex mutex_;
  int runs_ = 0;
};

TEST(ThreadPoolExecutorTest, AddTaskRunsTheQueuesNextTaskAndDestructionDrains) {
  CountingQueue queue;
  {
    ThreadPoolExecutor executor(2);
    for (int i = 0; i < 20; ++i) executor.AddTask(&queue);
  }
  EXPECT_EQ(queue.runs(), 20);
}

TEST(ThreadPoolExecutorTest, UnknownProcessorPerformanceSurvivesAsUnknownField) {
  const std::string wire("\x20\x07", 2);  // field 4, varint 7
  ThreadPoolExecutorOptions options;
  ASSERT_TRUE(options.ParseFromString(wire));
  EXPECT_FALSE(options.has_processor_performance());
  EXPECT_EQ(options.SerializeAsString(), wire);
}

}  // namespace
}  // namespace kaldren
