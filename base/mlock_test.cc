#include "base/mlock.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace base {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::HasSubstr;
using Range = ColdSections::Range;
using Section = ColdSections::Section;

struct SubtractCase {
  const char* name;
  std::vector<Range> ranges;
  std::vector<Range> excluded;
  std::vector<Range> expected;
};

TEST(ColdSectionsTest, SubtractSections) {
  const std::vector<SubtractCase> cases = {
      {"hole", {{0x1000, 0x5000}}, {{0x2000, 0x3000}}, {{0x1000, 0x2000}, {0x3000, 0x5000}}},
      {"covered", {{0x1000, 0x5000}}, {{0x0, 0x6000}}, {}},
      {"nothing excluded", {{0x1000, 0x5000}}, {}, {{0x1000, 0x5000}}},
      {"two holes, head and tail cut",
       {{0x1000, 0x8000}},
       {{0x0, 0x2000}, {0x3000, 0x4000}, {0x7000, 0x9000}},
       {{0x2000, 0x3000}, {0x4000, 0x7000}}},
      {"exclusions after and before",
       {{0x5000, 0x6000}, {0x1000, 0x2000}},
       {{0x2000, 0x3000}, {0x6000, 0x7000}},
       {{0x5000, 0x6000}, {0x1000, 0x2000}}},
  };
  for (const SubtractCase& c : cases) {
    EXPECT_EQ(ColdSections::SubtractSections(c.ranges, c.excluded), c.expected) << c.name;
  }
}

std::vector<Range> Ends(const std::vector<Section>& sections) {
  std::vector<Range> out;
  for (const Section& s : sections) out.emplace_back(s.start, s.end);
  return out;
}

TEST(ColdSectionsTest, SortAndCoalesceSections) {
  EXPECT_TRUE(ColdSections::SortAndCoalesceSections({}).empty());
  EXPECT_EQ(Ends(ColdSections::SortAndCoalesceSections({{0x3000, 0x4000, 0}, {0x1000, 0x3000, 0}})),
            (std::vector<Range>{{0x1000, 0x4000}}));
  // With a gap, a section 0xff past the previous end is merged, one 0x100 past is not.
  EXPECT_EQ(Ends(ColdSections::SortAndCoalesceSections(
                {{0x1000, 0x2000, 0x100}, {0x20ff, 0x3000, 0x100}, {0x3100, 0x4000, 0x100}})),
            (std::vector<Range>{{0x1000, 0x3000}, {0x3100, 0x4000}}));
  // Without a gap, a section one byte away stays apart; overlapping sections stay apart.
  EXPECT_EQ(Ends(ColdSections::SortAndCoalesceSections({{0x2001, 0x3000, 0}, {0x1000, 0x2000, 0}})),
            (std::vector<Range>{{0x1000, 0x2000}, {0x2001, 0x3000}}));
  EXPECT_EQ(Ends(ColdSections::SortAndCoalesceSections(
                {{0x1000, 0x3000, 0x100}, {0x2000, 0x4000, 0x100}})),
            (std::vector<Range>{{0x1000, 0x3000}, {0x2000, 0x4000}}));
}

class RecordingWrapper : public MLockWrapper {
 public:
  explicit RecordingWrapper(int fail_at = -1) : fail_at_(fail_at) {}
  int MLock(void* address, size_t length) override {
    calls.emplace_back(reinterpret_cast<uint64_t>(address), length);
    if (static_cast<int>(calls.size()) - 1 == fail_at_) {
      errno = ENOMEM;
      return -1;
    }
    return 0;
  }
  std::vector<std::pair<uint64_t, size_t>> calls;

 private:
  int fail_at_;
};

bool Covers(const std::vector<std::pair<uint64_t, size_t>>& calls, uint64_t address) {
  for (const auto& [start, length] : calls) {
    if (address >= start && address < start + length) return true;
  }
  return false;
}

TEST(LockPagesTest, LocksPageAlignedFileMappingsAndHonoursExclusions) {
  const uint64_t code = reinterpret_cast<uint64_t>(&Covers);
  const uint64_t page = sysconf(_SC_PAGESIZE);

  RecordingWrapper all;
  std::string error;
  ASSERT_TRUE(internal::LockPages(internal::kAllPages, &all, &error)) << error;
  ASSERT_FALSE(all.calls.empty());
  for (const auto& call : all.calls) EXPECT_EQ(call.first % page, 0u);
  EXPECT_TRUE(Covers(all.calls, code));
  // The stack is not a file mapping.
  int on_stack = 0;
  EXPECT_FALSE(Covers(all.calls, reinterpret_cast<uint64_t>(&on_stack)));

  // Excluding the page of this code keeps it out of hot locking only.
  const uint64_t code_page = code - code % page;
  ColdSections::MutableExcludedMlockSections()->push_back({code_page, code_page + page});
  RecordingWrapper hot;
  ASSERT_TRUE(internal::LockPages(internal::kHotPagesOnly, &hot, &error)) << error;
  EXPECT_FALSE(Covers(hot.calls, code));
  RecordingWrapper all_again;
  ASSERT_TRUE(internal::LockPages(internal::kAllPages, &all_again, &error));
  EXPECT_TRUE(Covers(all_again.calls, code));
  ColdSections::MutableExcludedMlockSections()->clear();
}

TEST(LockPagesTest, StopsAtTheFirstFailure) {
  RecordingWrapper failing(1);
  std::string error;
  EXPECT_FALSE(internal::LockPages(internal::kAllPages, &failing, &error));
  EXPECT_EQ(failing.calls.size(), 2u);
  EXPECT_THAT(error, HasSubstr("Could not lock page starting at 0x"));
  EXPECT_THAT(error, HasSubstr(": Cannot allocate memory [12]"));

  // Without an error string the text goes to the log.
  testing::internal::CaptureStderr();
  RecordingWrapper failing_again(0);
  EXPECT_FALSE(internal::LockPages(internal::kAllPages, &failing_again, nullptr));
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("Could not lock page"));
}

}  // namespace
}  // namespace base
