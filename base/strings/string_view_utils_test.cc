#include "base/strings/string_view_utils.h"

#include <cstdint>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

using ::testing::ElementsAre;

TEST(StringViewUtilsTest, WhitespaceRemoval) {
  const absl::string_view text = " \t\n\v\f\rab c\r\n ";
  absl::string_view v = text;
  EXPECT_EQ(strings::RemoveLeadingWhitespace(&v), 6u);
  EXPECT_EQ(v, "ab c\r\n ");
  EXPECT_EQ(strings::RemoveTrailingWhitespace(&v), 3u);
  EXPECT_EQ(v, "ab c");
  v = text;
  EXPECT_EQ(strings::RemoveWhitespaceContext(&v), 9u);
  EXPECT_EQ(v, "ab c");
  v = "   ";
  EXPECT_EQ(strings::RemoveWhitespaceContext(&v), 3u);
  EXPECT_TRUE(v.empty());
}

TEST(StringViewUtilsTest, RemoveUntil) {
  absl::string_view v = "key=value=x";
  EXPECT_EQ(strings::RemoveUntil(&v, '='), 4u);
  EXPECT_EQ(v, "value=x");
  EXPECT_EQ(strings::RemoveUntil(&v, '#'), 7u);
  EXPECT_TRUE(v.empty());
}

TEST(StringViewUtilsTest, ConsumeLeadingDigits) {
  absl::string_view v = "0123abc";
  uint64_t value = 7;
  EXPECT_TRUE(strings::ConsumeLeadingDigits(&v, &value));
  EXPECT_EQ(value, 123u);
  EXPECT_EQ(v, "abc");
  EXPECT_FALSE(strings::ConsumeLeadingDigits(&v, &value));
  EXPECT_EQ(v, "abc");

  v = "18446744073709551615x";
  EXPECT_TRUE(strings::ConsumeLeadingDigits(&v, &value));
  EXPECT_EQ(value, UINT64_MAX);
  EXPECT_EQ(v, "x");
  v = "18446744073709551616x";
  value = 7;
  EXPECT_FALSE(strings::ConsumeLeadingDigits(&v, &value));
  EXPECT_EQ(v, "18446744073709551616x");
  EXPECT_EQ(value, 7u);
}

TEST(StringViewUtilsTest, FindIgnoreCase) {
  EXPECT_EQ(strings::FindIgnoreCase("Hello HELLO", "hello"), 0u);
  EXPECT_EQ(strings::FindIgnoreCase("Hello HELLO", "hello", 1), 6u);
  EXPECT_EQ(strings::FindIgnoreCase("Hello", "hello", 1), absl::string_view::npos);
  EXPECT_EQ(strings::FindIgnoreCase("abc", "", 3), 3u);
  EXPECT_EQ(strings::FindIgnoreCase("abc", "", 4), absl::string_view::npos);
  EXPECT_EQ(strings::FindIgnoreCase("ab", "abc"), absl::string_view::npos);
}

TEST(StringViewUtilsTest, FindLongestCommonPrefix) {
  const absl::string_view a = "prefix_a";
  const absl::string_view p = strings::FindLongestCommonPrefix(a, "prefix_b");
  EXPECT_EQ(p, "prefix_");
  EXPECT_EQ(p.data(), a.data());
  EXPECT_EQ(strings::FindLongestCommonPrefix("", "x"), "");
  EXPECT_EQ(strings::FindLongestCommonPrefix("abc", "ab"), "ab");
}

TEST(SplitStringUsingTest, SkipsEmptyPiecesAndAppends) {
  std::vector<std::string> pieces = {"kept"};
  SplitStringUsing("a,,b;c", ",;", &pieces);
  EXPECT_THAT(pieces, ElementsAre("kept", "a", "b", "c"));
  pieces.clear();
  SplitStringUsing(",;,", ",;", &pieces);
  EXPECT_TRUE(pieces.empty());
  // An empty delimiter set splits between every character, as Abseil's ByAnyChar does.
  SplitStringUsing("ab", nullptr, &pieces);
  EXPECT_THAT(pieces, ElementsAre("a", "b"));
}

}  // namespace
