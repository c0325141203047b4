#include "experiment_flags/breakable_lock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <string>

#include "experiment_flags/marovic_error.h"
#include "experiment_flags/store_test_util.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/utility/base_logger.h"

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

// A clock whose uptime the test sets.
class UptimeClock : public ZRBClock {
 public:
  explicit UptimeClock(int64_t uptime) : uptime_(uptime) {}
  void set(int64_t uptime) { uptime_.store(uptime); }
  double elapsedTimeSince(const NSDate&) override { return 0; }
  std::shared_ptr<NSDate> now() override { return NSDate::dateWithTimeIntervalSince1970(0); }
  void scheduleAfterTimeInterval(double, std::function<void()>) override {}
  int64_t currentTimeMilliseconds() override { return 0; }
  int64_t bootTimeMilliseconds() override { return 0; }
  int64_t uptimeMilliseconds() override { return uptime_.load(); }

 private:
  std::atomic<int64_t> uptime_;
};

std::string Stamp(int64_t uptime) {
  XVNBreakableLockData data;
  data.set_lock_uptime_milliseconds(uptime);
  return data.SerializeAsString();
}

class BreakableLockTest : public StoreFolderTest {
 protected:
  void SetUp() override {
    StoreFolderTest::SetUp();
    path_ = Shared("global/lock.pb");
    Write(Shared("global/.keep"), "");
  }
  std::shared_ptr<ZQLBreakableLock> Lock(int64_t uptime) {
    return ZQLBreakableLock::initWithFile(NSURL::fileURLWithPath(path_, false),
                                          std::make_shared<UptimeClock>(uptime));
  }
  std::string path_;
};

TEST_F(BreakableLockTest, AnotherHoldersLeaseRunsForTenMinutes) {
  constexpr int64_t kNow = 5000000;
  struct Case {
    const char* name;
    std::optional<std::string> file;  // none: no lock file
    bool taken;
  } cases[] = {
      {"no lock file", std::nullopt, true},
      {"stamped now", Stamp(kNow), false},
      {"599,999 ms behind", Stamp(kNow - 599999), false},
      {"600,000 ms behind", Stamp(kNow - 600000), false},
      {"600,001 ms behind", Stamp(kNow - 600001), true},
      {"ahead of uptime (before a restart)", Stamp(kNow + 1), true},
      {"garbage", std::string("\xff\xff\xff", 3), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(path_.c_str());
    if (c.file) Write(path_, *c.file);
    platform::utility::BaseLoggerCapture capture;
    auto lock = Lock(kNow);
    std::shared_ptr<NSError> error;
    EXPECT_EQ(lock->lockWithError(&error), c.taken);
    if (c.taken) {
      EXPECT_EQ(Read(path_), Stamp(kNow));
      EXPECT_TRUE(lock->haveLock());
    } else {
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->domain(), kZQLMarovicErrorDomain);
      EXPECT_EQ(error->code(), ZQLMarovicErrorCodeLockHeldElsewhere);
      EXPECT_EQ(Read(path_), *c.file);
      EXPECT_FALSE(lock->haveLock());
    }
    if (std::string(c.name) == "garbage") {
      EXPECT_THAT(capture.messages(), Contains(HasSubstr("Lock file corrupt. Error = ")));
    }
  }
  // Every attempt cleaned up its temporary folder.
  EXPECT_EQ(*NSFileManager::defaultManager()->contentsOfDirectoryAtPath(Shared("global"), nullptr),
            (std::vector<std::string>{".keep", "lock.pb"}));
}

// Another application may write any stamp, and uptimes come from the clock: the lease rule holds
// at the ends of the range without overflowing.
TEST_F(BreakableLockTest, ExtremeStampsAndUptimesFollowTheLeaseRule) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Case {
    const char* name;
    int64_t stamp;
    int64_t now;
    bool taken;
  } cases[] = {
      {"lowest stamp", kMin, 5000000, true},
      {"lowest stamp, lowest uptime", kMin, kMin, false},
      {"lowest stamp, lease just over", kMin, kMin + 600001, true},
      {"highest stamp (before a restart)", kMax, 5000000, true},
      {"highest stamp, highest uptime", kMax, kMax, false},
      {"near the top, lease running", kMax - 10, kMax, false},
      {"zero stamp at zero uptime", 0, 0, false},
      {"zero stamp, lease over", 0, 600001, true},
      {"negative stamp, lease running", -1000, 5000, false},
      {"negative stamp, lease over", -1000, 599001, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(path_, Stamp(c.stamp));
    auto lock = Lock(c.now);
    std::shared_ptr<NSError> error;
    EXPECT_EQ(lock->lockWithError(&error), c.taken);
    EXPECT_EQ(Read(path_), Stamp(c.taken ? c.now : c.stamp));
    if (!c.taken) {
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->code(), ZQLMarovicErrorCodeLockHeldElsewhere);
    }
  }
}

TEST_F(BreakableLockTest, ABrokenLockIsLeftToItsNewHolder) {
  auto first = Lock(1000);
  ASSERT_TRUE(first->lockWithError(nullptr));
  // A second object of this process is refused while the lease runs.
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(Lock(2000)->lockWithError(&error));
  EXPECT_EQ(error->code(), ZQLMarovicErrorCodeLockHeldElsewhere);

  auto late = Lock(1000 + 600001);
  ASSERT_TRUE(late->lockWithError(nullptr));
  EXPECT_FALSE(first->haveLock());
  EXPECT_EQ(first->lockData(), nullptr);
  first->unlock();
  EXPECT_EQ(Read(path_), Stamp(1000 + 600001));

  // Unlocking an object that never locked deletes nothing; the holder's unlock does.
  Lock(5)->unlock();
  EXPECT_TRUE(Exists(path_));
  late->unlock();
  EXPECT_FALSE(Exists(path_));
}

TEST_F(BreakableLockTest, LockingTwiceIsAMisuse) {
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  auto lock = Lock(10);
  ASSERT_TRUE(lock->lockWithError(nullptr));
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(lock->lockWithError(&error));
  EXPECT_EQ(error->code(), ZQLMarovicErrorCodeLockMisuse);
  ASSERT_EQ(handler->failures().size(), 1u);
  EXPECT_EQ(handler->failures()[0].description, "Already locked!");
  EXPECT_TRUE(lock->haveLock());
}

// Two processes start at one barrier (a pipe closed by the parent) and race for the lock;
// exactly one takes it, every round.
TEST_F(BreakableLockTest, TwoProcessesOneWinner) {
  for (int round = 0; round < 20; ++round) {
    unlink(path_.c_str());
    int barrier[2];
    ASSERT_EQ(pipe(barrier), 0);
    pid_t children[2];
    for (pid_t& child : children) {
      child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        close(barrier[1]);
        char byte;
        (void)read(barrier[0], &byte, 1);
        std::shared_ptr<NSError> error;
        auto lock = ZQLBreakableLock::initWithFile(NSURL::fileURLWithPath(path_, false),
                                                   std::make_shared<UptimeClock>(77));
        if (lock->lockWithError(&error)) _exit(0);
        _exit(error != nullptr && error->code() == ZQLMarovicErrorCodeLockHeldElsewhere ? 1 : 2);
      }
    }
    close(barrier[0]);
    close(barrier[1]);
    int winners = 0;
    for (pid_t child : children) {
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      ASSERT_NE(WEXITSTATUS(status), 2) << "round " << round;
      if (WEXITSTATUS(status) == 0) ++winners;
    }
    EXPECT_EQ(winners, 1) << "round " << round;
  }
}

}  // namespace
