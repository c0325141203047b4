#include "base/flags.h"

#include <vector>

#include "base/commandlineflags.h"
#include "gtest/gtest.h"

namespace {

TEST(FlagsTest, SettingsInForce) {
  EXPECT_TRUE(FLAGS_logtostderr);
  EXPECT_TRUE(FLAGS_nologtostderr);
  EXPECT_FALSE(FLAGS_alsologtostderr);
  EXPECT_EQ(FLAGS_stderrthreshold, 2);
  EXPECT_EQ(FLAGS_v, 0);
  EXPECT_EQ(absl::GetFlag(FLAGS_minloglevel), 0);
  EXPECT_FALSE(absl::GetFlag(FLAGS_ret_check_abort_on_failure));
  EXPECT_EQ(FLAGS_gid, "=uid");
  EXPECT_EQ(FLAGS_nogid, &FLAGS_gid);
  EXPECT_EQ(FLAGS_system_cpu_max_freq_file,
            "/sys/devices/system/cpu/cpu$0/cpufreq/cpuinfo_max_freq");
  EXPECT_FALSE(FlagsParsed());
}

TEST(FlagsTest, TypedFlagsCarryNoName) {
  EXPECT_EQ(absl::GetFlagReflectionHandle(FLAGS_minloglevel).Name(), "");
  EXPECT_EQ(absl::GetFlagReflectionHandle(FLAGS_install_named_signal_handlers).Name(), "");
}

// This program registers no flag of its own; the flag library's parsing flags are there but
// are not listed.
TEST(FlagsTest, NoFlagsRegisteredListsNothing) {
  std::vector<CommandLineFlagInfo> all;
  GetAllFlags(&all);
  EXPECT_TRUE(all.empty()) << all.front().name;
  EXPECT_EQ(CommandlineFlagsIntoString(), "");
  CommandLineFlagInfo info;
  EXPECT_TRUE(GetCommandLineFlagInfo("flagfile", &info));
}

}  // namespace
