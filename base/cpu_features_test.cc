#include "base/cpu_features.h"

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "gtest/gtest.h"

namespace {

// The kernel's own reading of the first processor's flags.
std::set<std::string> ProcCpuFlags() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    std::set<std::string> flags;
    for (std::string flag; words >> flag;) flags.insert(flag);
    return flags;
  }
  return {};
}

TEST(CpuFeaturesTest, AgreeWithTheKernelsFlags) {
#if defined(__x86_64__)
  const std::set<std::string> flags = ProcCpuFlags();
  if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags";
  const bool avx_f16c = flags.count("avx") && flags.count("f16c");
  EXPECT_EQ(base::CpuHasF16c(), avx_f16c);
  EXPECT_EQ(base::CpuHasAvx2FmaF16c(), avx_f16c && flags.count("avx2") && flags.count("fma"));
#else
  EXPECT_FALSE(base::CpuHasF16c());
  EXPECT_FALSE(base::CpuHasAvx2FmaF16c());
#endif
}

}  // namespace
