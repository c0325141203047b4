#include "platform/foundation/ns_uuid.h"

#include <regex>
#include <set>

#include "gtest/gtest.h"

namespace {

TEST(NSUUIDTest, RandomIdentifiersAreVersion4InUpperCaseTextForm) {
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string text = NSUUID::UUID()->UUIDString();
    EXPECT_TRUE(std::regex_match(text, form)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(NSUUIDTest, ParsesTheTextFormOfEitherCase) {
  auto parsed = NSUUID::initWithUUIDString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(parsed->bytes()[0], 0xE6);
  EXPECT_EQ(parsed->bytes()[15], 0x5F);

  auto random = NSUUID::UUID();
  auto again = NSUUID::initWithUUIDString(random->UUIDString());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(*again, *random);
}

TEST(NSUUIDTest, RefusesOtherTexts) {
  for (const char* text : {
           "",
           "E621E1F8C36C495A93FC0C247A3E6E5F",        // no hyphens
           "E621E1F8-C36C-495A-93FC-0C247A3E6E5",     // one digit short
           "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0",   // one digit long
           "E621E1F-8C36C-495A-93FC-0C247A3E6E5F",    // hyphen misplaced
           "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",    // not a digit
           "{621E1F8-C36C-495A-93FC-0C247A3E6E5F}",
       }) {
    EXPECT_EQ(NSUUID::initWithUUIDString(text), nullptr) << text;
  }
}

}  // namespace
