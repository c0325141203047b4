#include "platform/foundation/ns_operation_queue.h"

#include <pthread.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

std::string CurrentThreadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
}

TEST(NSOperationQueueTest, RunsBlocksInOrderOnOneNamedThreadOfItsOwn) {
  auto queue = NSOperationQueue::init();
  queue->setName("com.example.download-delegate");
  EXPECT_EQ(queue->name(), "com.example.download-delegate");
  EXPECT_EQ(queue->maxConcurrentOperationCount(), 1);

  std::vector<int> order;
  std::set<std::thread::id> threads;
  std::string thread_name;
  bool saw_current = true;
  for (int i = 0; i < 50; ++i) {
    queue->addOperationWithBlock([&, i] {
      order.push_back(i);
      threads.insert(std::this_thread::get_id());
      saw_current = saw_current && NSOperationQueue::currentQueue() == queue.get();
      if (i == 0) thread_name = CurrentThreadName();
    });
  }
  queue->waitUntilAllOperationsAreFinished();
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), std::this_thread::get_id());
  EXPECT_EQ(thread_name, "com.example.dow");
  EXPECT_TRUE(saw_current);
  EXPECT_EQ(NSOperationQueue::currentQueue(), nullptr);
}

TEST(NSOperationQueueTest, DestructionRunsTheBlocksAlreadyAdded) {
  std::atomic<int> ran{0};
  {
    auto queue = NSOperationQueue::init();
    for (int i = 0; i < 10; ++i) queue->addOperationWithBlock([&] { ++ran; });
  }
  EXPECT_EQ(ran.load(), 10);
}

TEST(NSOperationQueueTest, AQueueReleasedByItsOwnBlockFinishesTheRest) {
  std::atomic<bool> done{false};
  auto queue = NSOperationQueue::init();
  std::mutex mutex;
  std::condition_variable cv;
  // The first block holds the only reference once the test drops its own.
  queue->addOperationWithBlock([held = queue] {});
  queue->addOperationWithBlock([&] {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    cv.notify_all();
  });
  queue.reset();
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait(lock, [&] { return done.load(); });
}

TEST(NSOperationQueueDeathTest, WaitingFromItsOwnBlockIsAFailedCheck) {
  // Queue threads of earlier tests may still be ending; re-run the binary instead of forking.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto queue = NSOperationQueue::init();
        queue->addOperationWithBlock([&] { queue->waitUntilAllOperationsAreFinished(); });
        queue->waitUntilAllOperationsAreFinished();
      },
      "waitUntilAllOperationsAreFinished called from a block of the same queue");
}

}  // namespace
