#include "graph/light_mutex.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace kaldren {
namespace internal {
namespace {

TEST(LightMutexTest, TryLockFailsWhileHeldAndSucceedsAfter) {
  LightMutex mutex;
  ASSERT_TRUE(mutex.try_lock());
  bool taken_elsewhere = true;
  std::thread([&] { taken_elsewhere = mutex.try_lock(); }).join();
  EXPECT_FALSE(taken_elsewhere);
  mutex.unlock();
  std::thread([&] {
    taken_elsewhere = mutex.try_lock();
    if (taken_elsewhere) mutex.unlock();
  }).join();
  EXPECT_TRUE(taken_elsewhere);
}

// Many threads increment plain counters under the mutex, some holding it long enough for the
// others to give up spinning and sleep: no increment is lost and every sleeper is woken (the
// test would hang otherwise).
TEST(LightMutexTest, ExcludesAndWakesSleepers) {
  LightMutex mutex;
  int64_t counter = 0;
  int64_t slow_sections = 0;
  constexpr int kThreads = 8;
  constexpr int kIterations = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kIterations; ++i) {
        std::lock_guard<LightMutex> lock(mutex);
        ++counter;
        if ((i + t) % 2000 == 0) {
          ++slow_sections;
          std::this_thread::yield();
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, int64_t{kThreads} * kIterations);
  EXPECT_EQ(slow_sections, int64_t{kThreads} * (kIterations / 2000));
}

}  // namespace
}  // namespace internal
}  // namespace kaldren
