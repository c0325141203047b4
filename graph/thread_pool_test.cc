#include "graph/thread_pool.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

int CurrentThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

std::string ThreadName(int thread_id) {
  std::ifstream file("/proc/self/task/" + std::to_string(thread_id) + "/comm");
  std::string name;
  std::getline(file, name);
  return name;
}

// The names of the process's threads that begin with `prefix`.
std::vector<std::string> ThreadNamesWithPrefix(const std::string& prefix) {
  std::vector<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string name = ThreadName(std::stoi(entry->d_name));
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  closedir(dir);
  return names;
}

TEST(ThreadPoolTest, ThreadNameIsPrefixSlashIdCutToFifteenCharacters) {
  EXPECT_EQ(internal::CreateThreadName("pellumo", 12345), "pellumo/12345");
  EXPECT_EQ(internal::CreateThreadName("pellumo", 123456789), "pellumo/1234567");
  EXPECT_EQ(internal::CreateThreadName("abcdefghijklmnopqrst", 1), "abcdefghijklmno");
  EXPECT_EQ(internal::CreateThreadName("", 42), "/42");
}

TEST(ThreadPoolTest, ZeroThreadsStartsOneWorker) {
  ThreadPool pool("zeropool", 0);
  EXPECT_EQ(pool.num_threads(), 1);
  ASSERT_TRUE(pool.StartWorkers().ok());
  std::latch ran(1);
  pool.Schedule([&ran] { ran.count_down(); });
  ran.wait();
  EXPECT_EQ(ThreadNamesWithPrefix("zeropool/").size(), 1u);
}

TEST(ThreadPoolTest, OneWorkerRunsTasksInOrderAndDestructionRunsEveryQueuedTask) {
  std::mutex mutex;
  std::vector<int> order;
  {
    ThreadPool pool(1);
    ASSERT_TRUE(pool.StartWorkers().ok());
    for (int i = 0; i < 50; ++i) {
      pool.Schedule([&mutex, &order, i] {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(i);
      });
    }
  }
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(ThreadPoolTest, TasksScheduledBeforeStartRunOnceWorkersExist) {
  std::promise<void> ran;
  ThreadPool pool(2);
  pool.Schedule([&ran] { ran.set_value(); });
  ASSERT_TRUE(pool.StartWorkers().ok());
  // A generous deadline, so that a pool that never runs the task fails instead of hanging.
  EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

// A task's first scheduled task waits for that task's worker; a worker that blocks until its
// continuation has run must not wait forever: another worker takes the continuation over.
// The tasks scheduled after it, and those scheduled from outside, run as usual.
TEST(ThreadPoolTest, ContinuationOfABlockedWorkerIsTakenOver) {
  ThreadPool pool(2);
  ASSERT_TRUE(pool.StartWorkers().ok());
  std::promise<void> continuation_ran, second_ran, done;
  pool.Schedule([&] {
    pool.Schedule([&] { continuation_ran.set_value(); });
    pool.Schedule([&] { second_ran.set_value(); });
    EXPECT_EQ(continuation_ran.get_future().wait_for(std::chrono::seconds(30)),
              std::future_status::ready);
    EXPECT_EQ(second_ran.get_future().wait_for(std::chrono::seconds(30)),
              std::future_status::ready);
    done.set_value();
  });
  EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

// The same while another worker keeps running continuations of its own: its progress must
// not keep the blocked worker's continuation from being taken over by the idle third worker.
TEST(ThreadPoolTest, ContinuationOfABlockedWorkerIsTakenOverWhileOthersKeepBusy) {
  ThreadPool pool(3);
  ASSERT_TRUE(pool.StartWorkers().ok());
  std::atomic<bool> continuation_ran{false};
  std::promise<void> blocked_done, busy_done;
  std::function<void()> keep_busy = [&] {
    if (continuation_ran.load()) {
      busy_done.set_value();
    } else {
      pool.Schedule(keep_busy);
    }
  };
  pool.Schedule([&] {
    pool.Schedule([&] { continuation_ran.store(true); });
    while (!continuation_ran.load()) std::this_thread::yield();
    blocked_done.set_value();
  });
  pool.Schedule(keep_busy);
  EXPECT_EQ(blocked_done.get_future().wait_for(std::chrono::seconds(30)),
            std::future_status::ready);
  // A pool that never takes the continuation over keeps both tasks running: let them end.
  continuation_ran.store(true);
  EXPECT_EQ(busy_done.get_future().wait_for(std::chrono::seconds(30)),
            std::future_status::ready);
}

// Continuations keep the pool's order: on one worker, tasks that tasks schedule start after
// everything scheduled before them.
TEST(ThreadPoolTest, ContinuationsStartInSchedulingOrder) {
  std::mutex mutex;
  std::vector<int> order;
  auto record = [&](int value) {
    std::lock_guard<std::mutex> lock(mutex);
    order.push_back(value);
  };
  {
    ThreadPool pool(1);
    pool.Schedule([&] {
      record(0);
      pool.Schedule([&] {
        record(3);
        pool.Schedule([&] { record(5); });
      });
      pool.Schedule([&] { record(4); });
    });
    pool.Schedule([&] { record(1); });
    pool.Schedule([&] { record(2); });
    ASSERT_TRUE(pool.StartWorkers().ok());
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(ThreadPoolTest, WorkersAreNamedAfterPrefixAndThreadId) {
  std::mutex mutex;
  std::vector<int> thread_ids;
  std::latch both_running(2);
  std::latch release(1);
  ThreadPool pool("pellumo", 2);
  ASSERT_TRUE(pool.StartWorkers().ok());
  for (int i = 0; i < 2; ++i) {
    pool.Schedule([&] {
      {
        std::lock_guard<std::mutex> lock(mutex);
        thread_ids.push_back(CurrentThreadId());
      }
      both_running.count_down();
      release.wait();
    });
  }
  both_running.wait();
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(thread_ids.size(), 2u);
  EXPECT_NE(thread_ids[0], thread_ids[1]);
  for (int thread_id : thread_ids) {
    EXPECT_EQ(ThreadName(thread_id), internal::CreateThreadName("pellumo", thread_id));
  }
  release.count_down();
}

TEST(ThreadPoolTest, WorkerLogsOnceThatPriorityAndAffinityAreNotSupported) {
  const std::string message =
      "Thread priority and processor affinity feature aren't supported on the current "
      "platform.";
  struct Case {
    ThreadOptions options;
    int expected_count;
  };
  const Case cases[] = {
      {ThreadOptions(), 0},
      {ThreadOptions().set_nice_level(5), 1},
      {ThreadOptions().set_cpu_set({0}), 1},
      {ThreadOptions().set_nice_level(-1).set_cpu_set({0, 1}), 1},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    {
      ThreadPool pool(c.options, "unsupported", 1);
      ASSERT_TRUE(pool.StartWorkers().ok());
    }
    const std::string output = testing::internal::GetCapturedStderr();
    int count = 0;
    for (size_t at = output.find(message); at != std::string::npos;
         at = output.find(message, at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, c.expected_count) << output;
  }
}

}  // namespace
}  // namespace kaldren
