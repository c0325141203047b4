#include "base/zone_info_source.h"

#include <string>
#include <vector>

#include "absl/time/time.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace base {
namespace {

using ::testing::HasSubstr;

// A fallback that knows no zone and records what it was asked.
struct RecordingFallback {
  std::vector<std::string>* asked;
  ZoneInfoSourcePtr operator()(const std::string& name) const {
    asked->push_back(name);
    return nullptr;
  }
};

std::string ReadAll(absl::time_internal::cctz::ZoneInfoSource* source) {
  std::string out;
  char buffer[100];
  size_t n;
  while ((n = source->Read(buffer, sizeof(buffer))) > 0) out.append(buffer, n);
  return out;
}

TEST(ZoneInfoSourceTest, CriticalZoneIsTheLastResort) {
  std::vector<std::string> asked;
  const RecordingFallback fallback{&asked};
  testing::internal::CaptureStderr();
  ZoneInfoSourcePtr prefixed = CustomFactory("crit:America/Los_Angeles", fallback);
  ZoneInfoSourcePtr bare = CustomFactory("America/Los_Angeles", fallback);
  const std::string out = testing::internal::GetCapturedStderr();
  ASSERT_NE(prefixed, nullptr);
  ASSERT_NE(bare, nullptr);
  EXPECT_THAT(asked, testing::ElementsAre("crit:America/Los_Angeles", "America/Los_Angeles"));
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
  EXPECT_THAT(out, HasSubstr("Falling back to critical America/Los_Angeles zoneinfo data"));

  const brenvikdata_third_party_tz::FileToc& toc =
      brenvikdata_third_party_tz::zoneinfo_critical_create()[0];
  EXPECT_EQ(brenvikdata_third_party_tz::zoneinfo_critical_size(), 1u);
  EXPECT_STREQ(toc.name, "America/Los_Angeles");
  const std::string data = ReadAll(bare.get());
  EXPECT_EQ(data, std::string(toc.data, toc.size));
  EXPECT_EQ(data.substr(0, 5), "TZif2");
  EXPECT_THAT(data, HasSubstr("\nPST8PDT,M3.2.0,M11.1.0\n"));
  EXPECT_EQ(bare->Version(), "");

  // Skip stops at the end; reads then return nothing.
  EXPECT_EQ(prefixed->Skip(4), 0);
  char magic_tail;
  EXPECT_EQ(prefixed->Read(&magic_tail, 1), 1u);
  EXPECT_EQ(magic_tail, '2');
  EXPECT_EQ(prefixed->Skip(1u << 20), 0);
  EXPECT_EQ(prefixed->Read(&magic_tail, 1), 0u);
}

TEST(ZoneInfoSourceTest, UnknownAndOtherNames) {
  std::vector<std::string> asked;
  const RecordingFallback fallback{&asked};
  EXPECT_EQ(CustomFactory("Etc/Unknown", fallback), nullptr);
  EXPECT_EQ(CustomFactory("Nowhere/Town", fallback), nullptr);
  EXPECT_THAT(asked, testing::ElementsAre("Etc/GMT", "Nowhere/Town"));
}

TEST(ZoneInfoSourceTest, TheTimeLibraryLoadsTheCriticalZone) {
  absl::TimeZone zone;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(absl::LoadTimeZone("crit:America/Los_Angeles", &zone));
  testing::internal::GetCapturedStderr();
  const absl::Time summer = absl::FromUnixSeconds(1593561600);  // 2020-07-01 00:00 UTC
  const absl::Time winter = absl::FromUnixSeconds(1577836800);  // 2020-01-01 00:00 UTC
  EXPECT_EQ(zone.At(summer).offset, -7 * 3600);
  EXPECT_STREQ(zone.At(summer).zone_abbr, "PDT");
  EXPECT_EQ(zone.At(winter).offset, -8 * 3600);
  // 2007 onwards: summer time starts on the second Sunday of March at 2:00.
  EXPECT_EQ(absl::FormatTime("%Y-%m-%d %H:%M %Z", absl::FromUnixSeconds(1173607200), zone),
            "2007-03-11 03:00 PDT");
}

}  // namespace
}  // namespace base
