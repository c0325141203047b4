#include "base/strings/numbers.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <string>

#include "gtest/gtest.h"

namespace {

using ::strings::AutoDigitStrCmp;
using ::strings::AutoDigitStrCmpZ;

TEST(ParseLeadingTest, IntegerParsers) {
  EXPECT_EQ(strings::ParseLeadingInt32Value("99999999999", 5), 2147483647);
  EXPECT_EQ(strings::ParseLeadingInt32Value("-99999999999", 5), -2147483647 - 1);
  EXPECT_EQ(strings::ParseLeadingInt32Value("0x10", 5), 16);
  EXPECT_EQ(strings::ParseLeadingInt32Value("010", 5), 8);
  EXPECT_EQ(strings::ParseLeadingInt32Value("abc", 5), 5);
  EXPECT_EQ(strings::ParseLeadingDec32Value("010", 5), 10);
  EXPECT_EQ(strings::ParseLeadingDec32Value("0x10", 5), 0);  // reads the "0"

  EXPECT_EQ(strings::ParseLeadingUInt32Value("-1", 5), 4294967295u);
  EXPECT_EQ(strings::ParseLeadingUInt32Value("-4294967295", 5), 1u);
  EXPECT_EQ(strings::ParseLeadingUInt32Value("4294967296", 5), 4294967295u);
  EXPECT_EQ(strings::ParseLeadingUInt32Value("-4294967296", 5), 4294967295u);
  EXPECT_EQ(strings::ParseLeadingUInt32Value("0x20", 5), 32u);
  EXPECT_EQ(strings::ParseLeadingUInt32Value("x", 5), 5u);
  EXPECT_EQ(strings::ParseLeadingUDec32Value("0x20", 5), 0u);

  EXPECT_EQ(strings::ParseLeadingInt64Value(" -0x10", 1), -16);
  EXPECT_EQ(strings::ParseLeadingInt64Value("", 1), 1);
  EXPECT_EQ(strings::ParseLeadingDec64Value("077", 1), 77);
  EXPECT_EQ(strings::ParseLeadingUInt64Value("18446744073709551615", 1),
            std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(strings::ParseLeadingUDec64Value("0x1", 9), 0u);
  EXPECT_EQ(strings::ParseLeadingHex64Value("fF", 9), 255u);
  EXPECT_EQ(strings::ParseLeadingHex64Value("g", 9), 9u);
}

TEST(ParseLeadingTest, DoubleFallsBackOnNothingReadOrOutOfRange) {
  EXPECT_EQ(strings::ParseLeadingDoubleValue(" 2.5kg", 1.0), 2.5);
  EXPECT_EQ(strings::ParseLeadingDoubleValue("kg", 1.0), 1.0);
  EXPECT_EQ(strings::ParseLeadingDoubleValue("1e999", 1.0), 1.0);
}

TEST(ParseLeadingTest, Bool) {
  const struct {
    const char* text;
    int expected;  // -1: the default
  } kCases[] = {
      {"  Yes!", 1}, {"yess", -1}, {"1", 1}, {"y", 1},  {"Y", 1},      {"0", 0},
      {"n", 0},      {"N", 0},     {"NO", 0}, {"nO", 0}, {"TRUE", 1},  {"faLSE", 0},
      {"t", -1},     {"2", -1},    {"", -1},  {"\t\nno way", 0},     {"10", -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    for (bool deflt : {false, true}) {
      const bool expected = c.expected < 0 ? deflt : c.expected == 1;
      EXPECT_EQ(strings::ParseLeadingBoolValue(c.text, deflt), expected);
    }
  }
}

TEST(KmgtTest, ReadsSuffixes) {
  EXPECT_EQ(strings::atoi_kmgt("17"), 17u);
  EXPECT_EQ(strings::atoi_kmgt("4K"), 4096u);
  EXPECT_EQ(strings::atoi_kmgt("3m"), 3u << 20);
  EXPECT_EQ(strings::atoi_kmgt("2G"), uint64_t{2} << 30);
  EXPECT_EQ(strings::atoi_kmgt("5t"), uint64_t{5} << 40);
}

TEST(KmgtDeathTest, OtherLetterIsFatal) {
  EXPECT_DEATH(strings::atoi_kmgt("5X"),
               "Invalid mnemonic: 'X'; should be one of 'K', 'M', 'G', and 'T'.");
}

TEST(KmgtTest, WritesTheLargestUnitHeldTwice) {
  const struct {
    int64_t value;
    const char* text;
  } kCases[] = {
      {0, "0"},
      {2047, "2047"},
      {2048, "2K"},
      {-5000, "-4K"},
      {3 << 20, "3M"},
      {(int64_t{2} << 20) - 1, "2047K"},
      {int64_t{2} << 30, "2G"},
      {int64_t{2} << 40, "2T"},
      {(int64_t{2} << 40) - 1, "2047G"},
      {std::numeric_limits<int64_t>::min(), "-8388608T"},
  };
  for (const auto& c : kCases) EXPECT_EQ(strings::ItoaKMGT(c.value), c.text) << c.value;
}

TEST(SafeStrtosizeTest, Cases) {
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  const struct {
    const char* text;
    int base;
    bool ok;
    size_t value;
  } kCases[] = {
      {" 42 ", 10, true, 42},
      {"+42", 10, true, 42},
      {"-42", 10, false, 0},
      {"+", 10, false, 0},
      {"", 10, true, 0},
      {"0x1f", 16, true, 31},
      {"0X1F", 0, true, 31},
      {"0x", 16, false, 0},
      {"0x", 0, false, 0},
      {"017", 0, true, 15},
      {"17", 0, true, 17},
      {"z", 36, true, 35},
      {"12", 37, false, 0},
      {"12", 1, false, 0},
      {"12a4", 10, false, 12},
      {"18446744073709551615", 10, true, kMax},
      {"18446744073709551616", 10, false, kMax},
      {"99999999999999999999", 10, false, kMax},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.text) + " base " + std::to_string(c.base));
    size_t value = 7;
    EXPECT_EQ(strings::safe_strtosize_t_base(c.text, &value, c.base), c.ok);
    EXPECT_EQ(value, c.value);
  }
  size_t value = 7;
  EXPECT_FALSE(strings::safe_strtosize_t_base(absl::string_view(), &value, 10));
  EXPECT_EQ(value, 0u);
}

TEST(Base36Test, WritesDigitsWhenTheyFit) {
  char buffer[16];
  EXPECT_EQ(strings::u64tostr_base36(0, sizeof(buffer), buffer), 1u);
  EXPECT_STREQ(buffer, "0");
  EXPECT_EQ(strings::u64tostr_base36(35, sizeof(buffer), buffer), 1u);
  EXPECT_STREQ(buffer, "z");
  EXPECT_EQ(strings::u64tostr_base36(36 * 36, sizeof(buffer), buffer), 3u);
  EXPECT_STREQ(buffer, "100");
  EXPECT_EQ(strings::u64tostr_base36(std::numeric_limits<uint64_t>::max(), 14, buffer), 13u);
  EXPECT_STREQ(buffer, "3w5e11264sgsf");
  std::memset(buffer, 'q', sizeof(buffer));
  EXPECT_EQ(strings::u64tostr_base36(36 * 36, 3, buffer), 0u);  // no room for the zero
  EXPECT_EQ(buffer[0], 'q');
}

TEST(Base36DeathTest, Preconditions) {
  char buffer[4];
  EXPECT_DEATH(strings::u64tostr_base36(1, 0, buffer),
               "Check buf_size > 0 failed: Buffer size must be positive.");
  EXPECT_DEATH(strings::u64tostr_base36(1, 4, nullptr),
               "Check buffer != nullptr failed: Output buffer must not be nullptr.");
}

TEST(FastTimeToBufferTest, MatchesStrftime) {
  char buffer[strings::kFastTimeToBufferSize];
  EXPECT_STREQ(strings::FastTimeToBuffer(784111777, buffer), "Sun, 06 Nov 1994 08:49:37 GMT");
  // strftime's %a and %b in the C locale are the same English names.
  std::mt19937_64 rng(20);
  std::uniform_int_distribution<int64_t> seconds(1, int64_t{253402300799});  // to 9999-12-31
  for (int i = 0; i < 200; ++i) {
    const time_t t = seconds(rng);
    struct tm tm;
    ASSERT_NE(gmtime_r(&t, &tm), nullptr);
    char expected[64];
    std::strftime(expected, sizeof(expected), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    EXPECT_STREQ(strings::FastTimeToBuffer(t, buffer), expected) << t;
  }
  EXPECT_STREQ(strings::FastTimeToBuffer(253402300800, buffer), "Invalid:253402300800");
  // 0 is the current time: a well-formed date.
  EXPECT_EQ(std::strlen(strings::FastTimeToBuffer(0, buffer)), 29u);
  EXPECT_STREQ(buffer + 25, " GMT");
}

TEST(AutoDigitStrCmpTest, OrdersDigitRunsByValue) {
  const struct {
    const char* a;
    const char* b;
    bool strict;
    int expected;
  } kCases[] = {
      {"a2", "a10", false, -1},
      {"a01", "a1", false, 0},
      {"a01", "a1", true, -1},
      {"a1b2", "a1b2", true, 0},
      {"a10b", "a10c", false, -1},
      {"a", "ab", false, -1},
      {"", "", false, 0},
      {"x0", "x", false, 1},
      {"9", "10", false, -1},
      {"000", "0", true, -1},
      {"123", "124", false, -1},
      {"a\x80", "a\x7f", false, -1},  // bytes compare as signed chars
      {"file2.txt", "file2a", false, -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(AutoDigitStrCmp(c.a, c.b, c.strict), c.expected);
    EXPECT_EQ(AutoDigitStrCmp(c.b, c.a, c.strict), -c.expected);
    EXPECT_EQ(AutoDigitStrCmpZ(c.a, c.b, c.strict), c.expected);
  }
}

TEST(HexNumbersTest, FingerprintsRoundTrip) {
  EXPECT_EQ(strings::FpToString(0xABC), "0000000000000abc");
  EXPECT_EQ(strings::Uint128ToHexString(absl::MakeUint128(1, 0xFF)),
            "000000000000000100000000000000ff");
  uint64_t fp = 0;
  EXPECT_TRUE(strings::StringToFp("0123456789abcDEF", &fp));
  EXPECT_EQ(fp, 0x0123456789ABCDEFu);
  EXPECT_EQ(strings::FpToString(fp), "0123456789abcdef");
  for (const char* bad : {"123456789abcdef", "0123456789abcdef0", "0123456789abcdeg",
                          "+123456789abcdef"}) {
    EXPECT_FALSE(strings::StringToFp(bad, &fp)) << bad;
  }

  absl::uint128 v = 5;
  EXPECT_TRUE(strings::HexStringToUint128("1", &v));
  EXPECT_EQ(v, 1);
  EXPECT_TRUE(strings::HexStringToUint128("ffffffffffffffffffffffffffffffff", &v));
  EXPECT_EQ(v, absl::Uint128Max());
  for (const char* bad : {"", "x", "1ffffffffffffffffffffffffffffffff"}) {
    v = 5;
    EXPECT_FALSE(strings::HexStringToUint128(bad, &v)) << bad;
    EXPECT_EQ(v, 0);
  }
  EXPECT_TRUE(strings::HexDigitsPrefix("aF9z", 3));
  EXPECT_FALSE(strings::HexDigitsPrefix("aF9z", 4));
}

TEST(ConsumeStrayLeadingZeroesTest, KeepsTheLastCharacter) {
  const struct {
    const char* in;
    const char* out;
  } kCases[] = {{"000", "0"}, {"0012", "12"}, {"0", "0"}, {"", ""},
                {"100", "100"}, {"0a", "a"}, {"00", "0"}};
  for (const auto& c : kCases) {
    std::string s = c.in;
    strings::ConsumeStrayLeadingZeroes(&s);
    EXPECT_EQ(s, c.out) << c.in;
  }
}

}  // namespace
