#include "base/strings/double_range.h"

#include <cmath>
#include <string>

#include "gtest/gtest.h"

namespace {

constexpr double kInf = INFINITY;

struct RangeCase {
  const char* text;
  bool ok;
  double from = 0;
  double to = 0;
  int consumed = -1;  // characters before *end; -1: not checked
  bool currency = false;
};

void ExpectRange(const RangeCase& c, const strings::DoubleRangeOptions& options) {
  SCOPED_TRACE(c.text);
  double from = 100;
  double to = 200;
  bool currency = !c.currency;
  const char* end = nullptr;
  const bool ok = strings::ParseDoubleRange(c.text, -1, &end, &from, &to, &currency, options);
  EXPECT_EQ(ok, c.ok);
  if (!c.ok) return;
  EXPECT_EQ(from, c.from);
  EXPECT_EQ(to, c.to);
  if (c.consumed >= 0) {
    EXPECT_EQ(end - c.text, c.consumed);
  }
  if (options.allow_currency) {
    EXPECT_EQ(currency, c.currency);
  }
}

TEST(ParseDoubleRangeTest, DashSeparatedBounds) {
  strings::DoubleRangeOptions options;
  options.separators = "-";
  options.null_terminator_ok = true;
  const RangeCase kCases[] = {
      {"3-7", true, 3, 7, 3},
      {"-7", true, -kInf, 7, 2},  // a leading "-" means "up to"
      {"3", true, 3, kInf, 1},
      {"3--7", true, 3, -7, 4},
      {"-3-7", true, -3, 7, 4},  // the leading "-" was the first bound's sign
      {"1.5-2.5", true, 1.5, 2.5, 7},
      {"3-", true, 3, kInf, 2},
      {"", true, -kInf, kInf, 0},
      {"3-7x", false},  // no acceptable terminator
  };
  for (const auto& c : kCases) ExpectRange(c, options);
}

TEST(ParseDoubleRangeTest, RequiredBoundsAndSeparator) {
  strings::DoubleRangeOptions options;
  options.separators = "-";
  options.null_terminator_ok = true;
  options.num_required_bounds = 2;
  ExpectRange({"3-7", true, 3, 7}, options);
  ExpectRange({"3", false}, options);
  ExpectRange({"3-", false}, options);
  ExpectRange({"-7", false}, options);  // with two bounds required "-" is a sign: -7 alone

  options.num_required_bounds = 1;
  ExpectRange({"-", false}, options);
  ExpectRange({"3", true, 3, kInf}, options);

  options.num_required_bounds = 0;
  options.require_separator = true;
  ExpectRange({"3", false}, options);
  ExpectRange({"3-4", true, 3, 4}, options);
}

TEST(ParseDoubleRangeTest, TerminatorsAndLength) {
  strings::DoubleRangeOptions options;
  options.separators = "-";
  options.acceptable_terminators = ",;";
  ExpectRange({"3-7,rest", true, 3, 7, 3}, options);
  ExpectRange({"3-7", false}, options);  // ending is not acceptable here

  // With a length, the bytes after it are not read, even digits.
  const char text[] = "3-75";
  double from, to;
  const char* end;
  options.null_terminator_ok = true;
  ASSERT_TRUE(strings::ParseDoubleRange(text, 3, &end, &from, &to, nullptr, options));
  EXPECT_EQ(to, 7);
  EXPECT_EQ(end, text + 3);
}

TEST(ParseDoubleRangeTest, MarkersCurrencyAndKeptValues) {
  strings::DoubleRangeOptions options;
  options.separators = "-";
  options.null_terminator_ok = true;
  options.allow_unbounded_markers = true;
  options.allow_currency = true;
  const RangeCase kCases[] = {
      {"?-7", true, -kInf, 7, 3, false},
      {"3-?", true, 3, kInf, 3, false},
      {"$3-$7", true, 3, 7, 5, true},
      {"$3-7", true, 3, 7, 4, true},
      {"3-$7", false},  // "$" before the second bound only after a leading one
      {"$", false},
  };
  for (const auto& c : kCases) ExpectRange(c, options);

  options.keep_unbounded_values = true;
  ExpectRange({"?-7", true, 100, 7, 3}, options);
  ExpectRange({"3", true, 3, 200, 1}, options);
}

TEST(ParseDoubleRangeTest, DotsCanSeparate) {
  strings::DoubleRangeOptions options;
  options.separators = ".";
  options.null_terminator_ok = true;
  ExpectRange({"3..5", true, 3, 5, 4}, options);
  ExpectRange({"3...5", true, 3, 5, 5}, options);
  ExpectRange({"3.5..6", true, 3.5, 6, 6}, options);
  ExpectRange({"3.", true, 3, kInf, 2}, options);
}

TEST(ParseDoubleRangeTest, Comparators) {
  strings::DoubleRangeOptions options;
  options.allow_comparators = true;
  options.allow_currency = true;
  options.allow_unbounded_markers = true;
  options.null_terminator_ok = true;
  const RangeCase kCases[] = {
      {"<5", true, -kInf, 5, 2, false},
      {"<=5", true, -kInf, 5, 3, false},
      {">2.5", true, 2.5, kInf, 4, false},
      {">=$9", true, 9, kInf, 4, true},
      {">?", true, -kInf, kInf, 2, false},
      {">", false},
      {">$", false},
      {"<x", false},
  };
  for (const auto& c : kCases) ExpectRange(c, options);
}

}  // namespace
