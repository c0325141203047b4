#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/dispatch/dispatch.h"

namespace {

// A guard against hanging tests only; nothing here depends on how long anything takes: a
// wait for work of milliseconds fails after this long instead of hanging.
constexpr int kPatienceSeconds = 5;
dispatch_time_t Patience() {
  return dispatch_time(DISPATCH_TIME_NOW, kPatienceSeconds * NSEC_PER_SEC);
}
// The failure message of a wait for `what` that ran out of patience.
std::string Late(const char* what) {
  return std::string(what) + " not signalled within " + std::to_string(kPatienceSeconds) + " s";
}

TEST(SemaphoreTest, CountsSignalsAndTimesOut) {
  EXPECT_EQ(dispatch_semaphore_create(-1), nullptr);

  dispatch_semaphore_t semaphore = dispatch_semaphore_create(2);
  EXPECT_EQ(dispatch_semaphore_wait(semaphore, DISPATCH_TIME_NOW), 0);
  EXPECT_EQ(dispatch_semaphore_wait(semaphore, DISPATCH_TIME_NOW), 0);
  EXPECT_NE(dispatch_semaphore_wait(semaphore, DISPATCH_TIME_NOW), 0);
  EXPECT_NE(dispatch_semaphore_wait(semaphore, dispatch_time(DISPATCH_TIME_NOW, NSEC_PER_MSEC)), 0);
  EXPECT_EQ(dispatch_semaphore_signal(semaphore), 0);  // nobody waits
  EXPECT_EQ(dispatch_semaphore_wait(semaphore, DISPATCH_TIME_NOW), 0);
}

TEST(SemaphoreTest, HandsOverBetweenThreads) {
  // Ping-pong: every value written by one side is read by the other after a wait.
  dispatch_semaphore_t ping = dispatch_semaphore_create(0);
  dispatch_semaphore_t pong = dispatch_semaphore_create(0);
  int value = 0;  // guarded by the hand-over
  std::thread other([&] {
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(dispatch_semaphore_wait(ping, Patience()), 0) << Late("ping");
      ++value;
      dispatch_semaphore_signal(pong);
    }
  });
  for (int i = 0; i < 100; ++i) {
    ++value;
    dispatch_semaphore_signal(ping);
    ASSERT_EQ(dispatch_semaphore_wait(pong, Patience()), 0) << Late("pong");
  }
  other.join();
  EXPECT_EQ(value, 200);
}

TEST(GroupTest, NotifiesAndWaitsOnceEveryMemberLeft) {
  dispatch_group_t group = dispatch_group_create();
  dispatch_queue_t queue = dispatch_queue_create("members", DISPATCH_QUEUE_CONCURRENT);
  std::atomic<int> done{0};
  int done_at_notify = -1;  // main thread only

  dispatch_group_enter(group);  // a member that leaves last, below
  for (int i = 0; i < 50; ++i) dispatch_group_async(group, queue, [&] { ++done; });
  dispatch_group_notify(group, dispatch_get_main_queue(), [&] { done_at_notify = done.load(); });
  EXPECT_NE(dispatch_group_wait(group, dispatch_time(DISPATCH_TIME_NOW, NSEC_PER_MSEC)), 0);

  dispatch_group_leave(group);
  EXPECT_EQ(dispatch_group_wait(group, Patience()), 0) << Late("group");
  platform::dispatch::RunUntilIdle();
  EXPECT_EQ(done_at_notify, 50);

  // An empty group notifies at once and does not make anyone wait.
  bool notified = false;
  dispatch_group_notify(group, dispatch_get_main_queue(), [&] { notified = true; });
  platform::dispatch::RunUntilIdle();
  EXPECT_TRUE(notified);
  EXPECT_EQ(dispatch_group_wait(group, DISPATCH_TIME_NOW), 0);
}

TEST(GroupDeathTest, LeavingMoreOftenThanEnteringFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(dispatch_group_leave(dispatch_group_create()),
               "dispatch_group_leave: left more often than entered");
}

TEST(OnceTest, RunsTheBlockOnceAcrossThreads) {
  dispatch_once_t once;
  std::atomic<int> runs{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] { dispatch_once(&once, [&] { ++runs; }); });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(runs.load(), 1);
}

}  // namespace
