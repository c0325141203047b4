#include "base/strings/escaping.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "gtest/gtest.h"

namespace {

struct TextCase {
  const char* in;
  const char* out;
};

// The escape sequences of the C standard, decoded by hand: simple escapes, up to three
// octal digits, and \x with any number of hex digits. Returns false on anything else.
bool DecodeCStandard(const std::string& text, std::string* out) {
  static const struct {
    char letter;
    char value;
  } kSimple[] = {{'\'', '\''}, {'"', '"'},  {'?', '?'},  {'\\', '\\'}, {'a', '\a'}, {'b', '\b'},
                 {'f', '\f'},  {'n', '\n'}, {'r', '\r'}, {'t', '\t'},  {'v', '\v'}};
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (++i == text.size()) return false;
    const char c = text[i];
    bool simple = false;
    for (const auto& s : kSimple) {
      if (s.letter == c) {
        out->push_back(s.value);
        simple = true;
      }
    }
    if (simple) continue;
    int value = 0;
    if (c >= '0' && c <= '7') {
      int digits = 0;
      while (digits < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7') {
        value = value * 8 + (text[i++] - '0');
        ++digits;
      }
    } else if (c == 'x') {
      ++i;
      while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) {
        value = value * 16 + std::stoi(std::string(1, text[i++]), nullptr, 16);
      }
    } else {
      return false;
    }
    if (value > 255) return false;
    out->push_back(static_cast<char>(value));
    --i;
  }
  return true;
}

TEST(CEscapeTest, EveryByteEscapesToPrintableTextThatTheCStandardReadsBack) {
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const std::string byte(1, static_cast<char>(b));
    std::string escaped = "pre";
    strings::CEscapeAndAppend(byte + "z", &escaped);
    ASSERT_EQ(escaped.substr(0, 3), "pre");
    for (char c : escaped) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << escaped;
    std::string decoded;
    ASSERT_TRUE(DecodeCStandard(escaped.substr(3), &decoded)) << escaped;
    EXPECT_EQ(decoded, byte + "z");
  }
}

TEST(CUnescapeTest, ReadsTheCStandardsEscapes) {
  // The right-hand side is what the compiler makes of the same escape.
  const TextCase kCases[] = {
      {"\\a\\b\\f\\n\\r\\t\\v", "\a\b\f\n\r\t\v"},
      {"\\\\ \\' \\\" \\?", "\\ ' \" ?"},
      {"\\101\\7\\377\\1010", "\101\7\377\1010"},
      {"\\x41\\x7f\\xff", "\x41\x7f\xff"},
      {"\\u00e9\\U0001F600", "\u00e9\U0001F600"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    std::string out;
    std::string error;
    ASSERT_TRUE(strings::CUnescapeForNullTerminatedString(c.in, &out, &error)) << error;
    EXPECT_EQ(out, c.out);
  }
}

TEST(CUnescapeTest, EscapesOfZeroStayAsWritten) {
  const TextCase kCases[] = {
      {"a\\0b", "a\\0b"},
      {"\\00\\000\\0000", "\\00\\000\\0000"},  // the last "0" is a plain character
      {"\\x0\\x00\\x0000", "\\x0\\x00\\x0000"},
      {"\\u0000\\U00000000", "\\u0000\\U00000000"},
      {"\\000\\101\\n", "\\000A\n"},
      {"\\\\0", "\\0"},        // an escaped backslash, then a plain "0"
      {"\\x001", "\x01"},      // leading zeros of a non-zero value
      {"\\01", "\x01"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    std::string out;
    std::string error;
    ASSERT_TRUE(strings::CUnescapeForNullTerminatedString(c.in, &out, &error)) << error;
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(out.find('\0'), std::string::npos);

    char buffer[64];
    int len = -1;
    ASSERT_TRUE(strings::CUnescapeForNullTerminatedString(c.in, buffer, &len, nullptr));
    EXPECT_EQ(std::string(buffer, len), c.out);
  }
}

TEST(CUnescapeTest, MalformedEscapesFailWithAbseilsText) {
  for (const char* bad : {"abc\\", "\\x", "\\xg", "\\400", "\\u12", "\\q", "\\0\\x"}) {
    SCOPED_TRACE(bad);
    std::string out;
    std::string error;
    EXPECT_FALSE(strings::CUnescapeForNullTerminatedString(bad, &out, &error));
    EXPECT_FALSE(error.empty());
  }
}

// The UTF-8 of a code point, decoded by brute force: the first byte's leading ones
// give the length, every other byte must be 10xxxxxx, and the value must need that
// length (no overlong forms), lie outside the surrogates and below 0x110000.
// Returns -1 for an invalid sequence.
int64_t DecodeUtf8(const std::string& s) {
  if (s.empty() || s.size() > 4) return -1;
  const unsigned char b0 = s[0];
  const size_t len = b0 < 0x80 ? 1 : b0 < 0xC0 ? 0 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : b0 < 0xF8 ? 4 : 0;
  if (len != s.size()) return -1;
  int64_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) {
    const unsigned char b = s[i];
    if ((b & 0xC0) != 0x80) return -1;
    cp = cp << 6 | (b & 0x3F);
  }
  const int64_t kMinForLength[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinForLength[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  return cp;
}

TEST(CUnescapeTest, UnicodeEscapesGiveValidUtf8ForEveryCodePoint) {
  char escaped[16];
  std::string out;
  for (uint32_t cp = 1; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::snprintf(escaped, sizeof(escaped), "\\U%08x", cp);
    ASSERT_TRUE(strings::CUnescapeForNullTerminatedString(escaped, &out, nullptr)) << cp;
    ASSERT_EQ(DecodeUtf8(out), cp) << std::hex << cp;
    if (cp <= 0xFFFF) {
      std::string short_form;
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", cp);
      ASSERT_TRUE(strings::CUnescapeForNullTerminatedString(escaped, &short_form, nullptr));
      ASSERT_EQ(short_form, out);
    }
  }
}

TEST(EscapeStrForCsvTest, DoublesQuotesWhenTheyFit) {
  char dest[8];
  std::memset(dest, 'x', sizeof(dest));
  EXPECT_EQ(strings::EscapeStrForCSV("a\"b", dest, 6), 4);
  EXPECT_EQ(std::string(dest, 5), std::string("a\"\"b\0", 5));
  EXPECT_EQ(strings::EscapeStrForCSV("a\"b", dest, 5), 4);
  EXPECT_EQ(strings::EscapeStrForCSV("a\"b", dest, 4), -1);
  EXPECT_EQ(strings::EscapeStrForCSV("a\"", dest, 3), -1);  // the doubled quote splits
  EXPECT_EQ(strings::EscapeStrForCSV("", dest, 1), 0);
  EXPECT_EQ(strings::EscapeStrForCSV("", dest, 0), -1);
}

TEST(QuotedPrintableTest, Decodes) {
  const struct {
    std::string in;
    std::string qp;
    std::string q;
  } kCases[] = {
      {"a=3Db=\r\nc", "a=bc", "a=bc"},
      {"x=", "x", "x"},
      {"x=4", "x4", "x4"},
      {"=41=4a=4A", "AJJ", "AJJ"},
      {"a=\nb", "ab", "a\nb"},  // a soft break only in quoted-printable
      {"a=zzb", "azzb", "azzb"},
      {"a_b=41", "a_bA", "a bA"},
      {std::string("ab\0cd", 5), "ab", "ab"},  // stops at a zero byte
      {"=\r", "\r", "\r"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(strings::QuotedPrintableUnescape(c.in), c.qp);
    EXPECT_EQ(strings::QEncodingUnescape(c.in), c.q);
  }
}

TEST(FileNameTest, EscapesAndRoundTripsEveryByte) {
  std::string escaped;
  strings::EscapeFileName("a/b c", &escaped);
  EXPECT_EQ(escaped, "a~b%20c");
  std::string back = "kept:";
  strings::UnescapeFileName(escaped, &back);
  EXPECT_EQ(back, "kept:a/b c");

  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  escaped.clear();
  strings::EscapeFileName(all, &escaped);
  EXPECT_EQ(escaped.find_first_not_of("-._~%0123456789abcdefghijklmnopqrstuvwxyz"
                                      "ABCDEFGHIJKLMNOPQRSTUVWXYZ"),
            std::string::npos);
  back.clear();
  strings::UnescapeFileName(escaped, &back);
  EXPECT_EQ(back, all);

  back.clear();
  strings::UnescapeFileName("a%4", &back);  // too short to decode
  EXPECT_EQ(back, "a%4");
}

TEST(ShellEscapeTest, ChoosesTheLightestQuoting) {
  const TextCase kCases[] = {
      {"abc", "abc"},
      {"a-b_c.d=e/f:g,h@i+j", "a-b_c.d=e/f:g,h@i+j"},
      {"", "''"},
      {"a b", "'a b'"},
      {"$HOME", "'$HOME'"},
      {"it's $x", "\"it's \\$x\""},
      {"'\"\\`", "\"'\\\"\\\\\\`\""},
  };
  for (const auto& c : kCases) EXPECT_EQ(strings::ShellEscape(c.in), c.out) << c.in;
}

TEST(LineEndingsTest, Cleans) {
  const struct {
    std::string in;
    std::string out;
    std::string out_ended;
  } kCases[] = {
      {"a\r\nb\rc", "a\nb\nc", "a\nb\nc\n"},
      {"a\r", "a\n", "a\n"},
      {"\r\r\n\n", "\n\n\n", "\n\n\n"},
      {"", "", ""},
      {"long line without any break", "long line without any break",
       "long line without any break\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    std::string s = c.in;
    strings::CleanStringLineEndings(&s, false);
    EXPECT_EQ(s, c.out);
    s = c.in;
    strings::CleanStringLineEndings(&s, true);
    EXPECT_EQ(s, c.out_ended);

    std::string dst;
    strings::CleanStringLineEndings(c.in, &dst, true);
    EXPECT_EQ(dst, c.out_ended);
    // An existing "\r" in the destination is left alone.
    dst = "x\r";
    strings::CleanStringLineEndings(c.in, &dst, false);
    EXPECT_EQ(dst, "x\r" + c.out);
  }
}

}  // namespace
