#include "platform/foundation/ns_process_info.h"

#include <unistd.h>

#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

TEST(NSProcessInfoTest, GloballyUniqueStringsNeverRepeatAndSuitFileNames) {
  auto info = NSProcessInfo::processInfo();
  EXPECT_EQ(info->processIdentifier(), getpid());
  EXPECT_FALSE(info->processName().empty());

  std::mutex mutex;
  std::set<std::string> seen;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        std::string unique = info->globallyUniqueString();
        EXPECT_EQ(unique.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << unique;
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(seen.insert(unique).second) << unique;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(seen.size(), 2000u);
}

}  // namespace
