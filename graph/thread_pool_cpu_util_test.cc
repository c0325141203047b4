#include "graph/thread_pool_cpu_util.h"

#include <sched.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "base/flags.h"
#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

namespace kaldren {
namespace {

class CoreInferenceTest : public testing::Test {
 protected:
  void SetUp() override {
    if (NumCPUCores() < 4) GTEST_SKIP() << "needs four online cores";
    folder_ = std::make_unique<platform::foundation::ScopedTestFolder>();
    saved_template_ = FLAGS_system_cpu_max_freq_file;
    FLAGS_system_cpu_max_freq_file = folder_->Path("cpu$0_max_freq");
  }
  void TearDown() override {
    if (folder_ == nullptr) return;
    FLAGS_system_cpu_max_freq_file = saved_template_;
    folder_.reset();
  }

  // Writes the frequency file of each core of `contents`; other cores have none.
  void WriteFrequencies(const std::map<int, std::string>& contents) {
    for (const auto& [core, text] : contents) {
      std::ofstream(folder_->Path("cpu" + std::to_string(core) + "_max_freq")) << text;
    }
  }

  std::unique_ptr<platform::foundation::ScopedTestFolder> folder_;
  std::string saved_template_;
};

TEST_F(CoreInferenceTest, SlowestAndFastestCoresAreFound) {
  WriteFrequencies({{0, "1800000\n"}, {1, "1800000\n"}, {2, "2400000\n"}, {3, "2400000\n"}});
  EXPECT_EQ(InferLowerCoreIds(), (std::set<int>{0, 1}));
  EXPECT_EQ(InferHigherCoreIds(), (std::set<int>{2, 3}));
}

TEST_F(CoreInferenceTest, UnreadableCoresAreLeftOut) {
  WriteFrequencies({{0, "fast\n"}, {1, "1800000"}, {2, "2400000\n"}, {3, "1800000\n"}});
  EXPECT_EQ(InferLowerCoreIds(), (std::set<int>{1, 3}));
  EXPECT_EQ(InferHigherCoreIds(), (std::set<int>{2}));
}

TEST_F(CoreInferenceTest, NoDifferenceOrNothingReadableGivesEmptySets) {
  WriteFrequencies({{0, "1800000\n"}, {1, "1800000\n"}, {2, "1800000\n"}, {3, "1800000\n"}});
  EXPECT_TRUE(InferLowerCoreIds().empty());
  EXPECT_TRUE(InferHigherCoreIds().empty());

  WriteFrequencies({{0, "1800000\n"}, {1, "2400000\n"}});
  FLAGS_system_cpu_max_freq_file = folder_->Path("cpu0_max_freq");  // no "$0"
  EXPECT_TRUE(InferLowerCoreIds().empty());
  EXPECT_TRUE(InferHigherCoreIds().empty());
}

// The count follows the affinity mask (taskset, a container's CPU set), not the processors
// that are online.
TEST(UsableProcessorsTest, FollowTheCallersAffinity) {
  int usable_on_one = 0;
  std::thread pinned([&] {
    cpu_set_t mine;
    CPU_ZERO(&mine);
    ASSERT_EQ(sched_getaffinity(0, sizeof(mine), &mine), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &mine)) {
        CPU_SET(cpu, &one);
        break;
      }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
    usable_on_one = NumUsableProcessors();
  });
  pinned.join();
  EXPECT_EQ(usable_on_one, 1);
  EXPECT_GE(NumUsableProcessors(), 1);
  EXPECT_LE(NumUsableProcessors(), NumCPUCores());
}

}  // namespace
}  // namespace kaldren
