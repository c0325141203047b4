#include <cstdint>
#include <string>

#include "base/strings/numbers.h"
#include "base/strings/ostringstream.h"
#include "base/strings/varint.h"
#include "gtest/gtest.h"

namespace {

std::string Encoded32(uint32_t v) {
  char buffer[Varint::kMax32];
  char* end = Varint::Encode32(buffer, v);
  return std::string(buffer, end - buffer);
}

TEST(VarintTest, EncodesAndParsesBack) {
  const struct {
    uint32_t value;
    std::string bytes;
  } kCases[] = {
      {0, std::string("\x00", 1)},
      {127, "\x7f"},
      {128, "\x80\x01"},
      {300, "\xac\x02"},
      {0xFFFFFFFFu, "\xff\xff\xff\xff\x0f"},
      {static_cast<uint32_t>(-1234), "\xae\xf6\xff\xff\x0f"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Encoded32(c.value), c.bytes);
    EXPECT_EQ(Varint::Length32(c.value), static_cast<int>(c.bytes.size()));
    uint32_t parsed = 0;
    const char* end = Varint::Parse32(c.bytes.data(), &parsed);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end, c.bytes.data() + c.bytes.size());
    EXPECT_EQ(parsed, c.value);
  }
}

TEST(VarintTest, RefusesAFifthByteBeyond32Bits) {
  uint32_t parsed = 7;
  EXPECT_EQ(Varint::Parse32Fallback("\xff\xff\xff\xff\x10", &parsed), nullptr);
  EXPECT_EQ(Varint::Parse32Fallback("\xff\xff\xff\xff\x80\x01", &parsed), nullptr);
  EXPECT_EQ(parsed, 7u);
}

TEST(VarintTest, LimitStopsAVarintThatRunsPastTheEnd) {
  const std::string bytes = "\xac\x02";
  uint32_t parsed = 0;
  EXPECT_EQ(Varint::Parse32WithLimit(bytes.data(), bytes.data() + 1, &parsed), nullptr);
  EXPECT_EQ(Varint::Parse32WithLimit(bytes.data(), bytes.data() + 2, &parsed),
            bytes.data() + 2);
  EXPECT_EQ(parsed, 300u);
}

TEST(NumbersTest, RoundTripDtoa) {
  const struct {
    double value;
    const char* text;
  } kCases[] = {
      {0.1, "0.1"},
      {1e100, "1e+100"},
      {-2.5, "-2.5"},
      {0.0, "0"},
      {1.0 / 3.0, "0.33333333333333331"},  // 15 digits would not read back
      {1.7976931348623157e308, "1.7976931348623157e+308"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(strings::RoundTripDtoa(c.value), c.text);
    char buffer[strings::kFastToBufferSize];
    EXPECT_STREQ(strings::DoubleToBuffer(c.value, buffer), c.text);
  }
}

TEST(NumbersTest, RoundTripFtoaReadsBackExactly) {
  for (float f : {0.1f, 1.0f / 3.0f, 16777217.0f, -3.4028235e38f, 1e-45f}) {
    const std::string text = strings::RoundTripFtoa(f);
    EXPECT_EQ(std::strtof(text.c_str(), nullptr), f) << text;
  }
  EXPECT_EQ(strings::RoundTripFtoa(0.1f), "0.1");
  EXPECT_EQ(strings::RoundTripFtoa(1.0f / 3.0f), "0.333333343");
}

TEST(NumbersTest, SimpleBtoa) {
  EXPECT_EQ(strings::SimpleBtoa(true), "true");
  EXPECT_EQ(strings::SimpleBtoa(false), "false");
}

TEST(OStringStreamTest, AppendsEveryWriteToTheCallersString) {
  std::string text = "x=";
  {
    strings::OStringStream out(&text);
    out << 42 << ' ' << "ok" << ' ' << 1.5 << ' ' << true;
    EXPECT_EQ(text, "x=42 ok 1.5 1");  // visible before the stream goes away
    out.put('!');
  }
  EXPECT_EQ(text, "x=42 ok 1.5 1!");
}

}  // namespace
