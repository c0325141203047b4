#include "base/proc_maps.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>

#include <fstream>

#include "absl/flags/flag.h"
#include "base/flags.h"
#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

TEST(ProcMapsIteratorTest, FindsTheMappingOfItsOwnCode) {
  char exe[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
  const uint64_t code = reinterpret_cast<uint64_t>(&ProcMapsIterator::FormatLine);

  ProcMapsIterator::Buffer buffer;
  ProcMapsIterator it(0, &buffer);
  ASSERT_TRUE(it.Valid());
  uint64_t start, end, offset, device;
  int64_t inode;
  char* flags;
  char* filename;
  bool found = false;
  int count = 0;
  while (it.NextExt(&start, &end, &flags, &offset, &inode, &filename, &device)) {
    ++count;
    EXPECT_LT(start, end);
    EXPECT_EQ(strlen(flags), 4u);
    if (code >= start && code < end) {
      found = true;
      EXPECT_STREQ(filename, exe);
      EXPECT_EQ(flags[2], 'x');
      EXPECT_GT(inode, 0);
      EXPECT_NE(device, 0u);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_GT(count, 3);
  EXPECT_FALSE(it.Next(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
}

// The prefix is read each time the maps are opened, so setting it at run time takes effect.
TEST(ProcMapsIteratorTest, ReadsTheMapsBelowTheProcfsPrefixSetAtRunTime) {
  platform::foundation::ScopedTestFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const struct {
    int pid;
    std::string maps;
  } cases[] = {{0, "/proc/self/maps"}, {1, "/proc/1/maps"}};
  for (const auto& c : cases) {
    const std::filesystem::path file = folder.path() + c.maps;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file)
        << "00001000-00002000 r-xp 00000010 08:01 42          /fake/" << c.pid << "\n";
  }
  absl::SetFlag(&FLAGS_procfs_prefix, folder.path());
  for (const auto& c : cases) {
    ProcMapsIterator it(c.pid);
    ASSERT_TRUE(it.Valid()) << c.maps;
    uint64_t start = 0;
    char* filename = nullptr;
    ASSERT_TRUE(it.Next(&start, nullptr, nullptr, nullptr, nullptr, &filename)) << c.maps;
    EXPECT_EQ(start, 0x1000u);
    EXPECT_EQ(std::string(filename), "/fake/" + std::to_string(c.pid));
    EXPECT_FALSE(it.Next(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  }
  absl::SetFlag(&FLAGS_procfs_prefix, "");
  ProcMapsIterator real(0);
  char* filename = nullptr;
  ASSERT_TRUE(real.Next(nullptr, nullptr, nullptr, nullptr, nullptr, &filename));
  EXPECT_NE(std::string(filename), "/fake/0");
}

TEST(ProcMapsIteratorTest, FormatLine) {
  struct Case {
    const char* flags;
    const char* expected;
  } cases[] = {
      {"rw", "00001000-00002000 rw-p 00000010 08:01 42          /lib/x.so\n"},
      {nullptr, "00001000-00002000 ---p 00000010 08:01 42          /lib/x.so\n"},
      {"r-xs", "00001000-00002000 r-x- 00000010 08:01 42          /lib/x.so\n"},
      {"zzzz", "00001000-00002000 ---- 00000010 08:01 42          /lib/x.so\n"},
  };
  for (const Case& c : cases) {
    char line[128];
    const int n = ProcMapsIterator::FormatLine(line, sizeof(line), 0x1000, 0x2000, c.flags, 0x10,
                                               42, "/lib/x.so", 0x801);
    EXPECT_EQ(std::string(line, n), c.expected) << (c.flags ? c.flags : "(null)");
  }
  char small[10];
  EXPECT_EQ(ProcMapsIterator::FormatLine(small, sizeof(small), 0x1000, 0x2000, "rw", 0, 0, "x", 0),
            0);
}

}  // namespace
