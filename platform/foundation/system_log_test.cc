#include "platform/foundation/system_log.h"

#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/ns_date.h"

namespace {

using platform::foundation::SystemLogCapture;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

TEST(SystemLogTest, CapturesNestAndRestore) {
  SystemLogCapture outer;
  NSLog("Could not create %s: %d", "/x", 17);
  {
    SystemLogCapture inner;
    NSLog("ends with a line break\n");
    EXPECT_THAT(inner.messages(), ElementsAre("ends with a line break"));
  }
  NSLog("%s", "");
  EXPECT_THAT(outer.messages(), ElementsAre("Could not create /x: 17", ""));
}

TEST(SystemLogTest, LinesOnStandardErrorCarryTimeProcessAndThread) {
  platform::foundation::SetWallClock([] { return 86400.5; });
  ::testing::internal::CaptureStderr();
  NSLog("hello %d", 1);
  std::string output = ::testing::internal::GetCapturedStderr();
  platform::foundation::SetWallClock(nullptr);
  EXPECT_THAT(output, MatchesRegex("1970-01-02 00:00:00\\.500 [^ ]+\\[[0-9]+:[0-9]+\\] hello 1\n"));
}

TEST(SystemLogTest, ConcurrentMessagesAreKeptWhole) {
  SystemLogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) NSLog("thread %d message %d", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 200u);
  for (const auto& message : messages) {
    EXPECT_THAT(message, MatchesRegex("thread [0-3] message [0-9]+"));
  }
}

}  // namespace
