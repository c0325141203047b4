#include "base/strings/encodings.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string WebSafeBase64(const std::string& s) {
  std::string out = "stale";
  strings::WebSafeBase64EscapeWithPadding(Bytes(s), static_cast<int>(s.size()), &out);
  return out;
}

std::string RandomBytes(std::mt19937_64& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

TEST(Base64Test, EscapedLength) {
  const struct {
    int len;
    int padded;
    int unpadded;
  } kCases[] = {{0, 0, 0},   {1, 4, 2},   {2, 4, 3},  {3, 4, 4},
                {5, 8, 7},   {6, 8, 8},   {1610612733, 2147483644, 2147483644},
                {2147483647, 2147483647, 2147483647}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.len);
    EXPECT_EQ(strings::CalculateBase64EscapedLen(c.len, true), c.padded);
    EXPECT_EQ(strings::CalculateBase64EscapedLen(c.len), c.padded);
    EXPECT_EQ(strings::CalculateBase64EscapedLen(c.len, false), c.unpadded);
  }
}

TEST(Base64Test, RfcVectorsAndTheWebSafeDigits) {
  const struct {
    std::string in;
    const char* out;
  } kCases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xfb\xff\xbf", "-_-_"},  // "+/+/" in the standard alphabet
      {std::string("\0", 1), "AA=="},
  };
  for (const auto& c : kCases) EXPECT_EQ(WebSafeBase64(c.in), c.out) << c.in;
  std::string out = "stale";
  strings::WebSafeBase64EscapeWithPadding(Bytes("abc"), -1, &out);
  EXPECT_EQ(out, "");
}

// OpenSSL's encoder as an independent reference; its alphabet differs in two digits.
TEST(Base64Test, MatchesOpenSsl) {
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no openssl command; the RFC vectors above still apply";
  }
  platform::foundation::ScopedTestFolder folder;
  const std::string path = folder.Path("data.bin");
  std::mt19937_64 rng(4648);
  for (size_t len : {1u, 2u, 3u, 4u, 5u, 47u, 48u, 49u, 200u, 1001u}) {
    SCOPED_TRACE(len);
    const std::string data = RandomBytes(rng, len);
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    FILE* p = popen((std::string("openssl base64 -A -in ") + path).c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string expected;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), p)) > 0) expected.append(buffer, n);
    ASSERT_EQ(pclose(p), 0);
    while (!expected.empty() && expected.back() == '\n') expected.pop_back();
    for (char& c : expected) {
      if (c == '+') c = '-';
      if (c == '/') c = '_';
    }
    EXPECT_EQ(WebSafeBase64(data), expected);
  }
}

TEST(Base32Test, RfcVectorsBothWays) {
  const struct {
    std::string in;
    std::string base32;
    std::string base32hex;
  } kCases[] = {
      {"f", "MY======", "CO======"},
      {"fo", "MZXQ====", "CPNG===="},
      {"foo", "MZXW6===", "CPNMU==="},
      {"foob", "MZXW6YQ=", "CPNMUOG="},
      {"fooba", "MZXW6YTB", "CPNMUOJ1"},
      {"foobar", "MZXW6YTBOI======", "CPNMUOJ1E8======"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    std::string out;
    ASSERT_TRUE(strings::Base32Escape(c.in, &out));
    EXPECT_EQ(out, c.base32);
    ASSERT_TRUE(strings::Base32HexEscape(c.in, &out));
    EXPECT_EQ(out, c.base32hex);
    EXPECT_EQ(strings::CalculateBase32EscapedLen(c.in.size()), c.base32.size());

    std::string lower = c.base32;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(ch));
    ASSERT_TRUE(strings::Base32Unescape(lower.data(), static_cast<int>(lower.size()), &out));
    EXPECT_EQ(out, c.in);
    ASSERT_TRUE(strings::Base32HexUnescape(c.base32hex, &out));
    EXPECT_EQ(out, c.in);
  }
  // The empty input.
  std::string out = "stale";
  EXPECT_TRUE(strings::Base32Escape("", &out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(strings::Base32Unescape("", 0, &out));
  EXPECT_EQ(out, "");
}

TEST(Base32Test, BuffersAndBadInput) {
  char dest[16];
  EXPECT_EQ(strings::Base32Escape(Bytes("fo"), 2, dest, 8), 8);
  EXPECT_EQ(std::string(dest, 8), "MZXQ====");
  EXPECT_EQ(strings::Base32Escape(Bytes("fo"), 2, dest, 7), 0);
  EXPECT_EQ(strings::Base32Escape(Bytes("foobar"), 6, dest, 15), 0);
  EXPECT_EQ(strings::Base32Escape(Bytes(""), 0, dest, 16), 0);

  EXPECT_EQ(strings::Base32Unescape("MZXQ====", 8, dest, 2), 2);
  EXPECT_EQ(strings::Base32Unescape("MZXQ====", 8, dest, 1), -1);
  EXPECT_EQ(strings::Base32Unescape("MZXQ1===", 8, dest, 16), -1);  // "1" is no digit
  EXPECT_EQ(strings::Base32Unescape("MZXQ", 4, dest, 16), 2);        // short group padded

  std::string out = "stale";
  EXPECT_FALSE(strings::Base32Unescape("MZ1Q====", 8, &out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(strings::Base32HexUnescape("CPNW====", &out));  // "W" is past "V"
  EXPECT_EQ(out, "");
}

TEST(Base32Test, RandomRoundTrips) {
  std::mt19937_64 rng(32);
  for (int i = 0; i < 200; ++i) {
    const std::string data = RandomBytes(rng, rng() % 40);
    std::string text, back;
    ASSERT_TRUE(strings::Base32Escape(data, &text));
    ASSERT_TRUE(strings::Base32Unescape(text.data(), static_cast<int>(text.size()), &back));
    EXPECT_EQ(back, data);
    ASSERT_TRUE(strings::Base32HexEscape(data, &text));
    ASSERT_TRUE(strings::Base32HexUnescape(text, &back));
    EXPECT_EQ(back, data);
  }
}

TEST(Base32Test, GroupConverters) {
  char digits[8];
  strings::FiveBytesToEightBase32Digits(Bytes("fooba"), digits);
  EXPECT_EQ(std::string(digits, 8), "MZXW6YTB");
  unsigned char bytes[5];
  strings::EightBase32DigitsToFiveBytes("MZXW6YTB", bytes);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 5), "fooba");

  strings::TenHexDigitsToEightBase32Digits("666F6f6261", digits);  // "fooba"
  EXPECT_EQ(std::string(digits, 8), "MZXW6YTB");
  char hex[10];
  strings::EightBase32DigitsToTenHexDigits("MZXW6YTB", hex);
  EXPECT_EQ(std::string(hex, 10), "666f6f6261");
}

TEST(HexTest, RoundTripsAgainstPrintf) {
  std::mt19937_64 rng(16);
  for (int i = 0; i < 50; ++i) {
    const std::string data = RandomBytes(rng, rng() % 33);
    std::string expected;
    char two[3];
    for (char c : data) {
      std::snprintf(two, sizeof(two), "%02x", static_cast<unsigned char>(c));
      expected += two;
    }
    const std::string hex = strings::b2a_hex(data.data(), data.size());
    EXPECT_EQ(hex, expected);
    std::string ascii = "stale";
    strings::ByteStringToAscii(data, 1000, &ascii);
    EXPECT_EQ(ascii, expected);

    std::string upper = hex;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    std::string back;
    strings::a2b_hex(upper.data(), &back, data.size());
    EXPECT_EQ(back, data);
    ASSERT_TRUE(strings::ByteStringFromAscii(upper, &back));
    EXPECT_EQ(back, data);
  }
}

TEST(HexTest, PartialAndInvalid) {
  std::string out;
  strings::ByteStringToAscii("\x01\x02\x03", 2, &out);
  EXPECT_EQ(out, "0102");

  EXPECT_FALSE(strings::ByteStringFromAscii("0g", &out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(strings::ByteStringFromAscii("abc", &out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(strings::ByteStringFromAscii("41x2", &out));
  EXPECT_EQ(out, "A");  // what was decoded before the bad pair stays
}

TEST(HexDeathTest, NegativeCountIsFatal) {
  std::string out;
  EXPECT_DEATH(strings::ByteStringToAscii("ab", -1, &out), "Check bytes_to_read >= 0 failed");
}

TEST(BinaryDigitsTest, BothBitOrders) {
  EXPECT_EQ(strings::b2a_bin("\x81\x02", true), "1000000100000010");
  EXPECT_EQ(strings::b2a_bin("\x81\x02", false), "1000000101000000");
  EXPECT_EQ(strings::a2b_bin("1", true), "\x80");
  EXPECT_EQ(strings::a2b_bin("1", false), "\x01");
  EXPECT_EQ(strings::a2b_bin("0000000x1", true), std::string("\x01\x80", 2));  // not "0" sets
  // A zero character ends the input; the result keeps its length.
  EXPECT_EQ(strings::a2b_bin(std::string("11\0" "111111111", 12), true),
            std::string("\xc0\x00", 2));
  std::mt19937_64 rng(2);
  for (int i = 0; i < 20; ++i) {
    const std::string data = RandomBytes(rng, rng() % 10);
    for (bool msb : {true, false}) EXPECT_EQ(strings::a2b_bin(strings::b2a_bin(data, msb), msb), data);
  }
}

}  // namespace
