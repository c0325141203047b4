#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/dispatch/dispatch.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

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

dispatch_time_t Now() { return dispatch_time(DISPATCH_TIME_NOW, 0); }

// What ran, from any thread, with the clock reading (relative to the test's start) at the time.
class Log {
 public:
  explicit Log(dispatch_time_t origin) : origin_(origin) {}
  void Add(const std::string& what) {
    const uint64_t ms = (Now() - origin_) / NSEC_PER_MSEC;
    std::lock_guard<std::mutex> lock(mu_);
    entries_.push_back(what + "@" + std::to_string(ms));
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::move(entries_);
  }

 private:
  const dispatch_time_t origin_;
  std::mutex mu_;
  std::vector<std::string> entries_;
};

class VirtualTimeTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::dispatch::UseVirtualTime(true); }
  void TearDown() override { platform::dispatch::UseVirtualTime(false); }
};

TEST_F(VirtualTimeTest, AfterBlocksRunInDueOrderOnTheirQueues) {
  Log log(Now());
  dispatch_queue_t serial = dispatch_queue_create("serial", nullptr);
  dispatch_queue_t concurrent = dispatch_queue_create("concurrent", DISPATCH_QUEUE_CONCURRENT);
  dispatch_queue_t main = dispatch_get_main_queue();
  bool main_block_on_main_thread = false;

  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 3 * NSEC_PER_SEC), serial,
                 [&] { log.Add("three"); });
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 1 * NSEC_PER_SEC), concurrent, [&] {
    log.Add("one");
    // Due within the same advance: it runs there, at its own time.
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 500 * NSEC_PER_MSEC), serial,
                   [&] { log.Add("one and a half"); });
  });
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 2 * NSEC_PER_SEC), main, [&] {
    main_block_on_main_thread = IsMainThread();
    log.Add("two, first");
  });
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 2 * NSEC_PER_SEC), serial,
                 [&] { log.Add("two, second"); });
  dispatch_after(DISPATCH_TIME_FOREVER, serial, [&] { log.Add("never"); });

  platform::dispatch::AdvanceVirtualTime(milliseconds(999));
  EXPECT_THAT(log.Take(), IsEmpty());
  platform::dispatch::AdvanceVirtualTime(milliseconds(1001));
  EXPECT_THAT(log.Take(), ElementsAre("one@1000", "one and a half@1500", "two, first@2000",
                                      "two, second@2000"));
  EXPECT_TRUE(main_block_on_main_thread);
  EXPECT_EQ(Now(), dispatch_time(DISPATCH_TIME_NOW, 0));  // the clock stands still between steps
  platform::dispatch::AdvanceVirtualTime(seconds(3600));
  EXPECT_THAT(log.Take(), ElementsAre("three@3000"));
  platform::dispatch::RunUntilIdle();
  EXPECT_THAT(log.Take(), IsEmpty());
}

TEST_F(VirtualTimeTest, AfterWithAPastTimeWaitsForTheNextAdvance) {
  Log log(Now());
  dispatch_after(DISPATCH_TIME_NOW, dispatch_get_main_queue(), [&] { log.Add("now"); });
  platform::dispatch::RunUntilIdle();
  EXPECT_THAT(log.Take(), IsEmpty());
  platform::dispatch::AdvanceVirtualTime(seconds(0));
  EXPECT_THAT(log.Take(), ElementsAre("now@0"));
}

TEST_F(VirtualTimeTest, WorkForASuspendedQueueWaitsForTheResumeNotTheAdvance) {
  for (dispatch_queue_attr_t attr : {DISPATCH_QUEUE_SERIAL, DISPATCH_QUEUE_CONCURRENT}) {
    dispatch_queue_t queue = dispatch_queue_create("held", attr);
    dispatch_group_t group = dispatch_group_create();
    std::atomic<bool> ran{false};
    dispatch_suspend(queue);
    dispatch_group_enter(group);
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, NSEC_PER_SEC), queue, [&] {
      ran = true;
      dispatch_group_leave(group);
    });
    platform::dispatch::AdvanceVirtualTime(seconds(2));  // returns although the block waits
    EXPECT_FALSE(ran);
    dispatch_resume(queue);
    EXPECT_EQ(dispatch_group_wait(group, Patience()), 0) << Late("group");
    EXPECT_TRUE(ran);
  }
}

TEST_F(VirtualTimeTest, RepeatingTimerFiresOncePerIntervalUntilCancelled) {
  const dispatch_time_t origin = Now();
  Log log(origin);
  dispatch_queue_t queue = dispatch_queue_create("JQXTrassenUploader", nullptr);
  dispatch_source_t timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue);
  std::atomic<int> cancels{0};
  dispatch_source_set_event_handler(timer, [&, weak = std::weak_ptr<dispatch_source_s>(timer)] {
    log.Add("tick x" + std::to_string(dispatch_source_get_data(weak.lock())));
  });
  dispatch_source_set_cancel_handler(timer, [&] { ++cancels; });
  dispatch_source_set_timer(timer, dispatch_time(DISPATCH_TIME_NOW, 5 * NSEC_PER_SEC),
                            5 * NSEC_PER_SEC, 300 * NSEC_PER_SEC);

  // Not resumed yet: nothing fires.
  platform::dispatch::AdvanceVirtualTime(seconds(6));
  EXPECT_THAT(log.Take(), IsEmpty());

  // The start time has passed, so the first firing comes at once; the next ones keep to the
  // start time's schedule.
  dispatch_resume(timer);
  platform::dispatch::AdvanceVirtualTime(seconds(10));
  EXPECT_THAT(log.Take(), ElementsAre("tick x1@6000", "tick x1@10000", "tick x1@15000"));

  // Firings while suspended merge into one run after the resume.
  dispatch_suspend(timer);
  platform::dispatch::AdvanceVirtualTime(seconds(10));
  EXPECT_THAT(log.Take(), IsEmpty());
  dispatch_resume(timer);
  dispatch_sync(queue, [] {});
  EXPECT_THAT(log.Take(), ElementsAre("tick x2@26000"));

  // Setting the timer again replaces the schedule.
  dispatch_source_set_timer(timer, dispatch_time(DISPATCH_TIME_NOW, 1 * NSEC_PER_SEC),
                            2 * NSEC_PER_SEC, 0);
  platform::dispatch::AdvanceVirtualTime(seconds(4));
  EXPECT_THAT(log.Take(), ElementsAre("tick x1@27000", "tick x1@29000"));

  EXPECT_EQ(dispatch_source_testcancel(timer), 0);
  dispatch_source_cancel(timer);
  dispatch_source_cancel(timer);
  EXPECT_EQ(dispatch_source_testcancel(timer), 1);
  dispatch_sync(queue, [] {});
  EXPECT_EQ(cancels.load(), 1);
  platform::dispatch::AdvanceVirtualTime(seconds(60));
  EXPECT_THAT(log.Take(), IsEmpty());
}

TEST_F(VirtualTimeTest, TimersAndAfterBlocksInterleaveByDueTime) {
  Log log(Now());
  dispatch_queue_t main = dispatch_get_main_queue();
  dispatch_source_t every_two = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, main);
  dispatch_source_t once = dispatch_source_create(
      DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_queue_create("once", DISPATCH_QUEUE_CONCURRENT));
  dispatch_source_set_event_handler(every_two, [&] { log.Add("every two"); });
  dispatch_source_set_event_handler(once, [&] { log.Add("once"); });
  dispatch_source_set_timer(every_two, dispatch_time(DISPATCH_TIME_NOW, 2 * NSEC_PER_SEC),
                            2 * NSEC_PER_SEC, 0);
  dispatch_source_set_timer(once, dispatch_time(DISPATCH_TIME_NOW, 3 * NSEC_PER_SEC),
                            DISPATCH_TIME_FOREVER, 0);
  dispatch_resume(every_two);
  dispatch_activate(once);
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 5 * NSEC_PER_SEC), main,
                 [&] { log.Add("after"); });

  platform::dispatch::AdvanceVirtualTime(seconds(7));
  EXPECT_THAT(log.Take(), ElementsAre("every two@2000", "once@3000", "every two@4000", "after@5000",
                                      "every two@6000"));
  dispatch_source_cancel(every_two);
  dispatch_source_cancel(once);
  platform::dispatch::RunUntilIdle();
}

TEST_F(VirtualTimeTest, TimeArithmetic) {
  const dispatch_time_t now = Now();
  EXPECT_EQ(dispatch_time(DISPATCH_TIME_FOREVER, -5), DISPATCH_TIME_FOREVER);
  EXPECT_EQ(dispatch_time(DISPATCH_TIME_NOW, INT64_MAX), now + INT64_MAX);
  EXPECT_EQ(dispatch_time(DISPATCH_TIME_FOREVER - 10, 100), DISPATCH_TIME_FOREVER);
  EXPECT_EQ(dispatch_time(DISPATCH_TIME_NOW, -static_cast<int64_t>(now) - 5), 1u);
  EXPECT_EQ(dispatch_time(now, 250), now + 250);
  EXPECT_EQ(dispatch_walltime(nullptr, 7), now + 7);
  platform::dispatch::AdvanceVirtualTime(milliseconds(3));
  EXPECT_EQ(Now(), now + 3 * NSEC_PER_MSEC);
}

TEST(RealTimeTest, AfterAndTimersFireOnTheMonotonicClock) {
  ASSERT_FALSE(platform::dispatch::IsVirtualTimeOn());
  dispatch_queue_t queue = dispatch_queue_create("real", nullptr);
  dispatch_semaphore_t after_ran = dispatch_semaphore_create(0);
  const dispatch_time_t due = dispatch_time(DISPATCH_TIME_NOW, 2 * NSEC_PER_MSEC);
  std::atomic<bool> ran_in_time{false};
  dispatch_after(due, queue, [&] {
    ran_in_time = Now() >= due;
    dispatch_semaphore_signal(after_ran);
  });
  EXPECT_EQ(dispatch_semaphore_wait(after_ran, Patience()), 0) << Late("after_ran");
  EXPECT_TRUE(ran_in_time);

  dispatch_source_t timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue);
  dispatch_semaphore_t ticked = dispatch_semaphore_create(0);
  dispatch_semaphore_t cancelled = dispatch_semaphore_create(0);
  dispatch_source_set_event_handler(timer, [ticked] { dispatch_semaphore_signal(ticked); });
  dispatch_source_set_cancel_handler(timer, [cancelled] { dispatch_semaphore_signal(cancelled); });
  dispatch_source_set_timer(timer, DISPATCH_TIME_NOW, NSEC_PER_MSEC, 0);
  dispatch_resume(timer);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(dispatch_semaphore_wait(ticked, Patience()), 0) << Late("ticked");
  }
  dispatch_source_cancel(timer);
  EXPECT_EQ(dispatch_semaphore_wait(cancelled, Patience()), 0) << Late("cancelled");
}

TEST(RealTimeTest, AResumedTimerLivesUntilCancelled) {
  dispatch_semaphore_t ticked = dispatch_semaphore_create(0);
  dispatch_semaphore_t cancelled = dispatch_semaphore_create(0);
  std::weak_ptr<dispatch_source_s> weak;
  {
    dispatch_source_t timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, nullptr);
    weak = timer;
    // The handler holds the timer, as an owner that keeps itself alive through its timer does.
    dispatch_source_set_event_handler(timer,
                                      [timer, ticked] { dispatch_semaphore_signal(ticked); });
    dispatch_source_set_cancel_handler(timer,
                                       [cancelled] { dispatch_semaphore_signal(cancelled); });
    dispatch_source_set_timer(timer, DISPATCH_TIME_NOW, NSEC_PER_MSEC, 0);
    dispatch_resume(timer);
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(dispatch_semaphore_wait(ticked, Patience()), 0) << Late("ticked");
  }
  dispatch_source_t timer = weak.lock();
  ASSERT_NE(timer, nullptr);
  dispatch_source_cancel(timer);
  timer.reset();
  EXPECT_EQ(dispatch_semaphore_wait(cancelled, Patience()), 0) << Late("cancelled");
  // Cancelling let go of the handlers and so of the cycle through the event handler.
  const dispatch_time_t give_up = Patience();
  while (!weak.expired() && Now() < give_up) std::this_thread::yield();
  EXPECT_TRUE(weak.expired());
}

}  // namespace
