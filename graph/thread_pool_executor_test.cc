#include "graph/thread_pool_executor.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <latch>
#include <mutex>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "graph/calculator_graph.h"
#include "graph/registration_macros.h"
#include "graph/thread_pool_executor.pb.h"
#include "graph_config/calculator.pb.h"

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

int ThreadsInProcess() {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// Reports a failed check of a forked child on stderr and ends the child with code 1.
void ExpectInChild(bool condition, const std::string& what) {
  if (condition) return;
  std::fprintf(stderr, "child: %s\n", what.c_str());
  std::_Exit(1);
}

// Asking for more threads than the address space holds is a configuration error, not a crash:
// creation reports RESOURCE_EXHAUSTED with the system's text and stops the threads it
// started. Runs in a forked child, whose only thread is the one that forked it, under a
// 600 MB address-space limit.
// Asks for 1000 threads under a 600 MB address-space limit, directly and through a graph
// configuration, and ends the process with code 0 when each request failed cleanly.
void RequestMoreThreadsThanTheAddressSpaceHolds() {
  rlimit limit{600u << 20, 600u << 20};
  ExpectInChild(setrlimit(RLIMIT_AS, &limit) == 0, "setrlimit");
  util::StatusOr<Executor*> created =
      ThreadPoolExecutor::Create(WithExecutorOptions([](ThreadPoolExecutorOptions* o) {
        o->set_num_threads(1000);
        o->set_name_prefix("toomany");
      }));
  ExpectInChild(!created.ok(), "Create succeeded");
  ExpectInChild(created.status().code() == absl::StatusCode::kResourceExhausted,
                created.status().ToString());
  ExpectInChild(created.status().message().find(
                    "\"toomany\": Resource temporarily unavailable") != std::string::npos,
                created.status().ToString());
  ExpectInChild(ThreadsInProcess() == 1, "workers left running");

  pellumo::CalculatorGraphConfig config;
  config.set_num_threads(1000);
  config.add_input_stream("in");
  CalculatorGraph graph;
  absl::Status status = graph.Initialize(config);
  ExpectInChild(status.code() == absl::StatusCode::kResourceExhausted, status.ToString());
  ExpectInChild(ThreadsInProcess() == 1, "graph workers left running");
  std::_Exit(0);
}

// More threads than the system can create is a configuration error, not a crash: creation
// reports RESOURCE_EXHAUSTED with the system's text and stops the threads it started. Runs in
// a forked child, whose only thread is the one that forked it.
TEST(ThreadPoolExecutorTest, ThreadsTheSystemRefusesAreResourceExhausted) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "The sanitizers reserve more address space than the limit allows.";
#endif
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(RequestMoreThreadsThanTheAddressSpaceHolds(), testing::ExitedWithCode(0), "");
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
