#include <pthread.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/dispatch/dispatch.h"

namespace {

using ::testing::ElementsAre;

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

std::string ThreadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
}

// Records blocks that run at the same time as another block of the same checker.
class OverlapChecker {
 public:
  void Enter() {
    if (inside_.fetch_add(1) != 0) overlaps_.fetch_add(1);
  }
  void Leave() { inside_.fetch_sub(1); }
  int overlaps() const { return overlaps_.load(); }

 private:
  std::atomic<int> inside_{0};
  std::atomic<int> overlaps_{0};
};

TEST(SerialQueueTest, RunsBlocksOneAtATimeInQueueOrder) {
  dispatch_queue_t queue = dispatch_queue_create("fifo", DISPATCH_QUEUE_SERIAL);
  std::vector<int> order;  // unguarded on purpose: the queue is the only guard
  OverlapChecker checker;
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < 250; ++i) {
        // Every tenth block is synchronous: it runs on the producer's thread, in its turn.
        auto block = [&, value = p * 1000 + i] {
          checker.Enter();
          order.push_back(value);
          checker.Leave();
        };
        if (i % 10 == 9) {
          dispatch_sync(queue, block);
        } else {
          dispatch_async(queue, block);
        }
      }
    });
  }
  for (std::thread& t : producers) t.join();
  dispatch_sync(queue, [] {});

  ASSERT_EQ(order.size(), 1000u);
  EXPECT_EQ(checker.overlaps(), 0);
  // Each producer's blocks ran in the order it queued them.
  std::vector<int> last(4, -1);
  for (int value : order) {
    const int p = value / 1000;
    EXPECT_GT(value % 1000, last[p]) << "producer " << p;
    last[p] = value % 1000;
  }
}

TEST(SerialQueueTest, QueuesSharingASerialTargetNeverOverlap) {
  dispatch_queue_t target = dispatch_queue_create("target", DISPATCH_QUEUE_SERIAL);
  dispatch_queue_t a = dispatch_queue_create("a", DISPATCH_QUEUE_SERIAL);
  dispatch_queue_t b = dispatch_queue_create("b", DISPATCH_QUEUE_CONCURRENT);
  dispatch_set_target_queue(a, target);
  dispatch_set_target_queue(b, target);
  OverlapChecker checker;
  std::vector<int> a_order;
  int b_runs = 0;
  for (int i = 0; i < 200; ++i) {
    dispatch_async(a, [&, i] {
      checker.Enter();
      a_order.push_back(i);
      checker.Leave();
    });
    auto b_block = [&] {
      checker.Enter();
      ++b_runs;
      checker.Leave();
    };
    // Now and then on this thread, in the target's turn.
    if (i % 20 == 0) {
      dispatch_sync(b, b_block);
    } else {
      dispatch_async(b, b_block);
    }
  }
  dispatch_sync(a, [] {});
  dispatch_sync(b, [] {});
  dispatch_sync(target, [] {});

  EXPECT_EQ(checker.overlaps(), 0);
  EXPECT_EQ(b_runs, 200);
  ASSERT_EQ(a_order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(a_order[i], i);
}

TEST(ConcurrentQueueTest, BlockedBlocksDoNotStarveALaterOne) {
  dispatch_queue_t queue = dispatch_queue_create("wide", DISPATCH_QUEUE_CONCURRENT);
  dispatch_semaphore_t release = dispatch_semaphore_create(0);
  dispatch_semaphore_t later_ran = dispatch_semaphore_create(0);
  dispatch_group_t blocked = dispatch_group_create();
  for (int i = 0; i < 100; ++i) {
    dispatch_group_async(blocked, queue,
                         [release] { dispatch_semaphore_wait(release, DISPATCH_TIME_FOREVER); });
  }
  dispatch_async(queue, [later_ran] { dispatch_semaphore_signal(later_ran); });

  EXPECT_EQ(dispatch_semaphore_wait(later_ran, Patience()), 0) << Late("later_ran");
  for (int i = 0; i < 100; ++i) dispatch_semaphore_signal(release);
  EXPECT_EQ(dispatch_group_wait(blocked, Patience()), 0) << Late("blocked");
}

TEST(QueueTest, AQueuedBlockKeepsItsQueueAlive) {
  dispatch_semaphore_t go = dispatch_semaphore_create(0);
  dispatch_group_t group = dispatch_group_create();
  std::atomic<int> ran{0};
  {
    dispatch_queue_t queue = dispatch_queue_create("short-lived", DISPATCH_QUEUE_SERIAL);
    dispatch_queue_t inner = dispatch_queue_create("inner", DISPATCH_QUEUE_SERIAL);
    dispatch_set_target_queue(inner, queue);
    dispatch_group_async(group, queue,
                         [go] { dispatch_semaphore_wait(go, DISPATCH_TIME_FOREVER); });
    for (int i = 0; i < 10; ++i) dispatch_group_async(group, inner, [&ran] { ++ran; });
  }
  dispatch_semaphore_signal(go);
  EXPECT_EQ(dispatch_group_wait(group, Patience()), 0) << Late("group");
  EXPECT_EQ(ran.load(), 10);
}

TEST(QueueTest, SyncRunsTheBlockOnTheCallingThreadInItsTurn) {
  dispatch_queue_t target = dispatch_queue_create("target", DISPATCH_QUEUE_SERIAL);
  dispatch_queue_t through_target = dispatch_queue_create("through target", nullptr);
  dispatch_set_target_queue(through_target, target);
  dispatch_queue_t concurrent = dispatch_queue_create("concurrent", DISPATCH_QUEUE_CONCURRENT);
  // A queue with work queued before, a queue behind a serial target and an idle queue take
  // different ways to the block's turn.
  for (bool busy : {true, false}) {
    for (const dispatch_queue_t& queue :
         {through_target, dispatch_queue_create("plain", DISPATCH_QUEUE_SERIAL)}) {
      SCOPED_TRACE(std::string(dispatch_queue_get_label(queue)) + (busy ? ", busy" : ", idle"));
      std::vector<std::string> seen;
      bool on_main = false;
      std::string label;
      if (busy) dispatch_async(queue, [&] { seen.push_back("async"); });
      dispatch_sync(queue, [&] {
        seen.push_back("sync");
        on_main = IsMainThread();
        label = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
        // Neither of these waits for a queue this thread holds.
        dispatch_sync(concurrent, [&] {
          dispatch_sync(concurrent, [&] { seen.push_back("nested concurrent"); });
        });
      });
      if (busy) {
        EXPECT_THAT(seen, ElementsAre("async", "sync", "nested concurrent"));
      } else {
        EXPECT_THAT(seen, ElementsAre("sync", "nested concurrent"));
      }
      EXPECT_TRUE(on_main);
      EXPECT_EQ(label, dispatch_queue_get_label(queue));
    }
  }
}

TEST(QueueTest, LabelsAndThreadNames) {
  dispatch_queue_t long_label = dispatch_queue_create("JQXTrassenAutoCounters", nullptr);
  dispatch_queue_t unlabelled = dispatch_queue_create(nullptr, DISPATCH_QUEUE_CONCURRENT);
  dispatch_queue_t inner = dispatch_queue_create("Brandolin", DISPATCH_QUEUE_SERIAL);
  dispatch_set_target_queue(inner, long_label);

  // Asynchronous blocks run on worker threads, which carry the queue's label.
  std::string label, name, unlabelled_label, unlabelled_name, inner_label, inner_name;
  dispatch_group_t group = dispatch_group_create();
  dispatch_group_async(group, long_label, [&] {
    label = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
    name = ThreadName();
  });
  dispatch_group_async(group, unlabelled, [&] {
    unlabelled_label = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
    unlabelled_name = ThreadName();
  });
  dispatch_group_async(group, inner, [&] {
    inner_label = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
    inner_name = ThreadName();
  });
  ASSERT_EQ(dispatch_group_wait(group, Patience()), 0) << Late("group");

  EXPECT_EQ(label, "JQXTrassenAutoCounters");
  EXPECT_EQ(name, "JQXTrassenAutoC");
  EXPECT_EQ(unlabelled_label, "");
  EXPECT_EQ(unlabelled_name, "dispatch-worker");
  EXPECT_EQ(inner_label, "Brandolin");
  EXPECT_EQ(inner_name, "Brandolin");
  EXPECT_STREQ(dispatch_queue_get_label(long_label), "JQXTrassenAutoCounters");

  // Outside any queue: the main queue on the main thread, nothing elsewhere.
  EXPECT_STREQ(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL),
               dispatch_queue_get_label(dispatch_get_main_queue()));
  const char* off_queue = "unset";
  std::thread([&] { off_queue = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL); }).join();
  EXPECT_EQ(off_queue, nullptr);
}

TEST(QueueTest, AttributesCarryQualityOfService) {
  dispatch_queue_attr_t attr =
      dispatch_queue_attr_make_with_qos_class(DISPATCH_QUEUE_SERIAL, QOS_CLASS_UTILITY, -3);
  EXPECT_EQ(attr, dispatch_queue_attr_make_with_qos_class(nullptr, QOS_CLASS_UTILITY, -3));
  dispatch_queue_t queue = dispatch_queue_create("JQXLogWriter", attr);
  int priority = 1;
  EXPECT_EQ(dispatch_queue_get_qos_class(queue, &priority), QOS_CLASS_UTILITY);
  EXPECT_EQ(priority, -3);
  EXPECT_EQ(
      dispatch_queue_attr_make_with_qos_class(nullptr, static_cast<dispatch_qos_class_t>(0x42), 0),
      nullptr);

  dispatch_queue_attr_t concurrent = dispatch_queue_attr_make_with_qos_class(
      DISPATCH_QUEUE_CONCURRENT, QOS_CLASS_USER_INITIATED, 0);
  ASSERT_NE(concurrent, nullptr);
  EXPECT_TRUE(concurrent->concurrent);
}

TEST(QueueTest, GlobalQueuesByQualityOfServiceAndPriority) {
  struct Case {
    long identifier;
    long same_as;
  };
  for (const Case& c : {Case{DISPATCH_QUEUE_PRIORITY_HIGH, QOS_CLASS_USER_INITIATED},
                        Case{DISPATCH_QUEUE_PRIORITY_DEFAULT, QOS_CLASS_DEFAULT},
                        Case{DISPATCH_QUEUE_PRIORITY_LOW, QOS_CLASS_UTILITY},
                        Case{DISPATCH_QUEUE_PRIORITY_BACKGROUND, QOS_CLASS_BACKGROUND}}) {
    dispatch_queue_t queue = dispatch_get_global_queue(c.identifier, 0);
    ASSERT_NE(queue, nullptr) << c.identifier;
    EXPECT_EQ(queue, dispatch_get_global_queue(c.same_as, 0)) << c.identifier;
    EXPECT_EQ(dispatch_queue_get_qos_class(queue, nullptr), c.same_as);
  }
  EXPECT_NE(dispatch_get_global_queue(QOS_CLASS_USER_INTERACTIVE, 0), nullptr);
  EXPECT_EQ(dispatch_get_global_queue(QOS_CLASS_USER_INTERACTIVE, 1), nullptr);
  EXPECT_EQ(dispatch_get_global_queue(7, 0), nullptr);

  dispatch_queue_t global = dispatch_get_global_queue(QOS_CLASS_UTILITY, 0);
  std::string label;
  dispatch_sync(global, [&] { label = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL); });
  EXPECT_EQ(label, dispatch_queue_get_label(global));
}

TEST(MainQueueTest, RunUntilIdleRunsQueuedBlocksAndTheirFollowers) {
  std::vector<std::string> seen;  // touched only on the main thread
  bool all_on_main = true;
  dispatch_queue_t main = dispatch_get_main_queue();
  dispatch_async(main, [&] {
    all_on_main &= IsMainThread();
    seen.push_back("first");
    dispatch_async(main, [&] { seen.push_back("follower"); });
  });
  dispatch_sync(dispatch_queue_create("worker", nullptr), [&] {
    dispatch_async(main, [&] {
      all_on_main &= IsMainThread();
      seen.push_back("from worker");
    });
  });
  EXPECT_TRUE(seen.empty());

  platform::dispatch::RunUntilIdle();
  EXPECT_THAT(seen, ElementsAre("first", "from worker", "follower"));
  EXPECT_TRUE(all_on_main);

  // A suspended main queue keeps its blocks.
  dispatch_suspend(main);
  dispatch_async(main, [&] { seen.push_back("after resume"); });
  platform::dispatch::RunUntilIdle();
  EXPECT_EQ(seen.size(), 3u);
  dispatch_resume(main);
  platform::dispatch::RunUntilIdle();
  EXPECT_EQ(seen.back(), "after resume");
}

TEST(MainQueueTest, RunMainLoopUntilServesBlocksFromOtherThreads) {
  int delivered = 0;  // main thread only
  dispatch_queue_t worker = dispatch_queue_create("producer", nullptr);
  for (int i = 0; i < 5; ++i) {
    dispatch_async(worker,
                   [&] { dispatch_async(dispatch_get_main_queue(), [&] { ++delivered; }); });
  }
  EXPECT_TRUE(platform::dispatch::RunMainLoopUntil([&] { return delivered == 5; },
                                                   std::chrono::seconds(kPatienceSeconds)))
      << "5 blocks sent to the main queue did not all run";
  EXPECT_FALSE(
      platform::dispatch::RunMainLoopUntil([] { return false; }, std::chrono::milliseconds(1)));
}

TEST(MainThreadTest, RegisteredThreadBecomesTheMainThread) {
  EXPECT_TRUE(IsMainThread());
  bool other_is_main = true;
  std::thread([&] { other_is_main = IsMainThread(); }).join();
  EXPECT_FALSE(other_is_main);

  bool registered_is_main = false;
  std::thread([&] {
    platform::dispatch::RegisterMainThread();
    registered_is_main = IsMainThread();
  }).join();
  EXPECT_TRUE(registered_is_main);
  EXPECT_FALSE(IsMainThread());
  platform::dispatch::RegisterMainThread();
  EXPECT_TRUE(IsMainThread());
}

TEST(WorkerPoolTest, IdleWorkersEnd) {
  dispatch_group_t group = dispatch_group_create();
  dispatch_queue_t queue = dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0);
  for (int i = 0; i < 8; ++i) dispatch_group_async(group, queue, [] {});
  ASSERT_EQ(dispatch_group_wait(group, Patience()), 0) << Late("group");
  EXPECT_GT(platform::dispatch::WorkerThreadCount(), 0);

  platform::dispatch::SetWorkerIdleTimeout(std::chrono::milliseconds(1));
  const dispatch_time_t give_up = Patience();
  while (platform::dispatch::WorkerThreadCount() > 0 &&
         dispatch_time(DISPATCH_TIME_NOW, 0) < give_up) {
    std::this_thread::yield();
  }
  EXPECT_EQ(platform::dispatch::WorkerThreadCount(), 0);

  // New work starts new workers.
  platform::dispatch::SetWorkerIdleTimeout(std::chrono::seconds(5));
  int ran = 0;
  dispatch_sync(queue, [&] { ran = 1; });
  EXPECT_EQ(ran, 1);
}

// Misuse that the stand-in turns into a failed check with a clear message.
struct MisuseCase {
  const char* name;
  std::function<void()> misuse;
  const char* message;
};

void PrintTo(const MisuseCase& c, std::ostream* os) { *os << c.name; }

class QueueMisuseDeathTest : public ::testing::TestWithParam<MisuseCase> {};

TEST_P(QueueMisuseDeathTest, FailsWithAClearMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(GetParam().misuse(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QueueMisuseDeathTest,
    ::testing::Values(
        MisuseCase{"SyncOnTheRunningQueue",
                   [] {
                     dispatch_queue_t queue = dispatch_queue_create("Brandolin", nullptr);
                     dispatch_sync(queue, [queue] { dispatch_sync(queue, [] {}); });
                   },
                   "dispatch_sync on queue \"Brandolin\" from a block running on that queue "
                   "would deadlock"},
        MisuseCase{"SyncThroughATargetQueue",
                   [] {
                     dispatch_queue_t outer = dispatch_queue_create("ZRBLogMultiplexer", nullptr);
                     dispatch_queue_t inner =
                         dispatch_queue_create("inner", DISPATCH_QUEUE_CONCURRENT);
                     dispatch_set_target_queue(inner, outer);
                     dispatch_sync(outer, [inner] { dispatch_sync(inner, [] {}); });
                   },
                   "dispatch_sync on queue \"inner\" from a block running on its target queue "
                   "\"ZRBLogMultiplexer\" would deadlock"},
        MisuseCase{"SyncOnTheMainQueueFromTheMainThread",
                   [] { dispatch_sync(dispatch_get_main_queue(), [] {}); },
                   "dispatch_sync on queue \"com.apple.main-thread\" from a block running on "
                   "that queue would deadlock"},
        MisuseCase{"ResumeWithoutSuspend",
                   [] { dispatch_resume(dispatch_queue_create("JQXLogWriter", nullptr)); },
                   "queue \"JQXLogWriter\" resumed more often than suspended"},
        MisuseCase{"TargetCycle",
                   [] {
                     dispatch_queue_t a = dispatch_queue_create("a", nullptr);
                     dispatch_queue_t b = dispatch_queue_create("b", nullptr);
                     dispatch_set_target_queue(b, a);
                     dispatch_set_target_queue(a, b);
                   },
                   "queue \"a\" would target itself"}),
    [](const ::testing::TestParamInfo<MisuseCase>& info) { return info.param.name; });

}  // namespace
