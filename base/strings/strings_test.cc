#include <cstdint>
#include <random>
#include <string>
#include <vector>

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

TEST(VarintTest, SixtyFourBitsRoundTripAndAppend) {
  std::mt19937_64 rng(64);
  std::vector<uint64_t> values = {0, 1, 127, 128, (uint64_t{1} << 28) - 1, uint64_t{1} << 28,
                                  uint64_t{1} << 63, UINT64_MAX};
  for (int i = 0; i < 200; ++i) values.push_back(rng() >> (rng() % 64));
  for (uint64_t v : values) {
    SCOPED_TRACE(v);
    char buffer[Varint::kMax64];
    const char* end = Varint::Encode64(buffer, v);
    const std::string encoded(buffer, static_cast<size_t>(end - buffer));
    ASSERT_EQ(end - buffer, Varint::Length64(v));
    uint64_t parsed = 0;
    EXPECT_EQ(Varint::Parse64Fallback(buffer, &parsed), end);
    EXPECT_EQ(parsed, v);
    // The appended bytes match the encoder's and follow what the string held.
    std::string s = "x";
    Varint::Append64Slow(&s, v);
    EXPECT_EQ(s, "x" + encoded);
    if (v <= UINT32_MAX) {
      s = "x";
      Varint::Append32Slow(&s, static_cast<uint32_t>(v));
      EXPECT_EQ(s, "x" + encoded);
    }
    // Read back from its end, with a preceding varint that must not be taken in.
    const std::string two = std::string("\x05") + encoded;
    const char* two_end = two.data() + two.size();
    parsed = 0;
    EXPECT_EQ(Varint::Parse64BackwardSlow(two_end, two.data(), &parsed), two.data() + 1);
    EXPECT_EQ(parsed, v);
    EXPECT_EQ(Varint::Skip64BackwardSlow(two_end, two.data()), two.data() + 1);
    EXPECT_EQ(Varint::Parse64WithLimit(two.data() + 1, two_end, &parsed), two_end);
    EXPECT_EQ(Varint::Parse64WithLimit(two.data() + 1, two_end - 1, &parsed), nullptr);
  }
  uint64_t parsed = 7;
  EXPECT_EQ(Varint::Parse64Fallback("\xff\xff\xff\xff\xff\xff\xff\xff\xff\x02", &parsed),
            nullptr);
  EXPECT_EQ(parsed, 7u);
}

TEST(VarintTest, BackwardParsing) {
  const std::string bytes = "\x01\xac\x02";  // 1, then 300
  const char* end = bytes.data() + bytes.size();
  uint32_t v = 0;
  EXPECT_EQ(Varint::Parse32BackwardSlow(end, bytes.data(), &v), bytes.data() + 1);
  EXPECT_EQ(v, 300u);
  EXPECT_EQ(Varint::Parse32BackwardSlow(bytes.data() + 1, bytes.data(), &v), bytes.data());
  EXPECT_EQ(v, 1u);
  // Not before the base: the varint then starts at the base.
  EXPECT_EQ(Varint::Skip32BackwardSlow(end, bytes.data() + 2), bytes.data() + 2);
  // No varint ends right before a continuation byte, or before the base itself.
  EXPECT_EQ(Varint::Skip32BackwardSlow(end - 1, bytes.data()), nullptr);
  EXPECT_EQ(Varint::Skip32BackwardSlow(bytes.data(), bytes.data()), nullptr);
  // Six bytes are too many for 32 bits, as is a fifth byte above 0x0F.
  const std::string too_long = "\x80\x80\x80\x80\x80\x01";
  EXPECT_EQ(Varint::Skip32BackwardSlow(too_long.data() + 6, too_long.data()), nullptr);
  EXPECT_EQ(Varint::Skip32BackwardSlow(too_long.data() + 6, too_long.data() + 1),
            too_long.data() + 1);
  const std::string wide = "\x80\x80\x80\x80\x10";
  EXPECT_EQ(Varint::Parse32BackwardSlow(wide.data() + 5, wide.data(), &v), nullptr);
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
