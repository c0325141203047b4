#include "base/strings/encodings.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "absl/strings/ascii.h"
#include "base/raw_logging.h"
#include "base/strings/digit_value.h"

namespace strings {
namespace {

using internal::HexValueOrZero;

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kWebSafeBase64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kBase32[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr char kBase32Hex[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";

// Inverse of a 32-digit alphabet: -1 for characters outside it.
constexpr std::array<int8_t, 256> Inverse(const char* alphabet) {
  std::array<int8_t, 256> inverse{};
  for (auto& v : inverse) v = -1;
  for (int i = 0; i < 32; ++i) inverse[static_cast<unsigned char>(alphabet[i])] = i;
  return inverse;
}
constexpr std::array<int8_t, 256> kBase32Inverse = Inverse(kBase32);
constexpr std::array<int8_t, 256> kBase32HexInverse = Inverse(kBase32Hex);

// Digits of a group that carry data, by the number of bytes in it.
constexpr size_t kDigitsForBytes[5] = {0, 2, 4, 5, 7};

// Bytes a decoded group keeps, by the position of its first "=" (8: none). Positions
// that no encoder produces (1, 3, 6) keep the whole group.
constexpr int kBytesForPadPosition[9] = {0, 5, 1, 5, 2, 3, 5, 4, 5};

void EncodeGroup(const unsigned char* in, char* out, const char* alphabet) {
  uint64_t bits = 0;
  for (int i = 0; i < 5; ++i) bits = bits << 8 | in[i];
  for (int i = 7; i >= 0; --i) {
    out[i] = alphabet[bits & 0x1F];
    bits >>= 5;
  }
}

void DecodeGroup(const int* values, unsigned char* out) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = bits << 5 | static_cast<uint64_t>(values[i]);
  for (int i = 4; i >= 0; --i) {
    out[i] = static_cast<unsigned char>(bits & 0xFF);
    bits >>= 8;
  }
}

int Base32EscapeWith(const unsigned char* src, size_t szsrc, char* dest, size_t szdest,
                     const char* alphabet) {
  if (szsrc == 0) return 0;
  size_t written = 0;
  while (szsrc > 0) {
    if (szdest - written < 8) return 0;
    const size_t take = std::min<size_t>(szsrc, 5);
    unsigned char group[5] = {0, 0, 0, 0, 0};
    std::memcpy(group, src, take);
    EncodeGroup(group, dest + written, alphabet);
    if (take < 5) std::fill(dest + written + kDigitsForBytes[take], dest + written + 8, '=');
    written += 8;
    src += take;
    szsrc -= take;
  }
  return static_cast<int>(written);
}

bool Base32EscapeToString(const std::string& src, std::string* dest, const char* alphabet) {
  dest->resize(CalculateBase32EscapedLen(src.size()) + 1);
  const int n = Base32EscapeWith(reinterpret_cast<const unsigned char*>(src.data()), src.size(),
                                 dest->data(), dest->size(), alphabet);
  dest->resize(n);
  return true;
}

int Base32UnescapeWith(const char* src, int slen, char* dest, int szdest,
                       const std::array<int8_t, 256>& inverse) {
  int written = 0;
  for (int g = 0; g < slen; g += 8) {
    int values[8];
    int first_pad = 8;
    for (int k = 0; k < 8; ++k) {
      const char c = g + k < slen ? absl::ascii_toupper(static_cast<unsigned char>(src[g + k]))
                                  : '=';
      if (c == '=') {
        values[k] = 0;
        first_pad = std::min(first_pad, k);
        continue;
      }
      values[k] = inverse[static_cast<unsigned char>(c)];
      if (values[k] < 0) return -1;
    }
    unsigned char bytes[5];
    DecodeGroup(values, bytes);
    const int keep = kBytesForPadPosition[first_pad];
    if (keep > szdest - written) return -1;
    std::memcpy(dest + written, bytes, keep);
    written += keep;
  }
  return written;
}

bool Base32UnescapeToString(const char* src, int slen, std::string* dest,
                            const std::array<int8_t, 256>& inverse) {
  // 5 bytes per full group, and for a short last group what its padding allows.
  const int len = std::max(slen, 0);
  dest->resize(static_cast<size_t>(len / 8) * 5 + kBytesForPadPosition[len % 8]);
  const int n = Base32UnescapeWith(src, slen, dest->data(), static_cast<int>(dest->size()),
                                   inverse);
  if (n < 0) {
    dest->clear();
    return false;
  }
  dest->resize(n);
  return true;
}

}  // namespace

int CalculateBase64EscapedLen(int input_len, bool do_padding) {
  int64_t len = int64_t{4} * (input_len / 3);
  switch (input_len % 3) {
    case 1:
      len += do_padding ? 4 : 2;
      break;
    case 2:
      len += do_padding ? 4 : 3;
      break;
  }
  return static_cast<int>(std::min<int64_t>(len, 2147483647));
}

int CalculateBase64EscapedLen(int input_len) { return CalculateBase64EscapedLen(input_len, true); }

void WebSafeBase64EscapeWithPadding(const unsigned char* src, int szsrc, std::string* dest) {
  dest->clear();
  if (szsrc <= 0) return;
  dest->reserve(CalculateBase64EscapedLen(szsrc, true));
  for (int i = 0; i < szsrc; i += 3) {
    const int n = std::min(3, szsrc - i);
    uint32_t bits = static_cast<uint32_t>(src[i]) << 16;
    if (n > 1) bits |= static_cast<uint32_t>(src[i + 1]) << 8;
    if (n > 2) bits |= src[i + 2];
    for (int k = 0; k < 4; ++k) {
      dest->push_back(k <= n ? kWebSafeBase64[(bits >> (18 - 6 * k)) & 0x3F] : '=');
    }
  }
}

int Base32Escape(const unsigned char* src, size_t szsrc, char* dest, size_t szdest) {
  return Base32EscapeWith(src, szsrc, dest, szdest, kBase32);
}

int Base32HexEscape(const unsigned char* src, size_t szsrc, char* dest, size_t szdest) {
  return Base32EscapeWith(src, szsrc, dest, szdest, kBase32Hex);
}

bool Base32Escape(const std::string& src, std::string* dest) {
  return Base32EscapeToString(src, dest, kBase32);
}

bool Base32HexEscape(const std::string& src, std::string* dest) {
  return Base32EscapeToString(src, dest, kBase32Hex);
}

int Base32Unescape(const char* src, int slen, char* dest, int szdest) {
  return Base32UnescapeWith(src, slen, dest, szdest, kBase32Inverse);
}

bool Base32Unescape(const char* src, int slen, std::string* dest) {
  return Base32UnescapeToString(src, slen, dest, kBase32Inverse);
}

bool Base32HexUnescape(const std::string& src, std::string* dest) {
  return Base32UnescapeToString(src.data(), static_cast<int>(src.size()), dest,
                                kBase32HexInverse);
}

size_t CalculateBase32EscapedLen(size_t len) { return ((len * 8 + 4) / 5 + 7) / 8 * 8; }

void FiveBytesToEightBase32Digits(const unsigned char* in, char* out) {
  EncodeGroup(in, out, kBase32);
}

void EightBase32DigitsToFiveBytes(const char* in, unsigned char* out) {
  int values[8];
  for (int i = 0; i < 8; ++i) {
    const int v = kBase32Inverse[static_cast<unsigned char>(in[i])];
    values[i] = v < 0 ? 0 : v;
  }
  DecodeGroup(values, out);
}

void TenHexDigitsToEightBase32Digits(const char* in, char* out) {
  unsigned char bytes[5];
  a2b_hex(in, bytes, 5);
  FiveBytesToEightBase32Digits(bytes, out);
}

void EightBase32DigitsToTenHexDigits(const char* in, char* out) {
  unsigned char bytes[5];
  EightBase32DigitsToFiveBytes(in, bytes);
  b2a_hex(bytes, out, 5);
}

void b2a_hex(const unsigned char* from, char* to, size_t num) {
  for (size_t i = 0; i < num; ++i) {
    to[2 * i] = kHexDigits[from[i] >> 4];
    to[2 * i + 1] = kHexDigits[from[i] & 0xF];
  }
}

void b2a_hex(const unsigned char* from, std::string* result, size_t num) {
  result->resize(2 * num);
  b2a_hex(from, result->data(), num);
}

std::string b2a_hex(const char* from, size_t num) {
  std::string result;
  b2a_hex(reinterpret_cast<const unsigned char*>(from), &result, num);
  return result;
}

void a2b_hex(const char* from, unsigned char* to, size_t num) {
  for (size_t i = 0; i < num; ++i) {
    to[i] = static_cast<unsigned char>(HexValueOrZero(from[2 * i]) << 4 |
                                       HexValueOrZero(from[2 * i + 1]));
  }
}

void a2b_hex(const char* from, std::string* to, size_t num) {
  to->resize(num);
  a2b_hex(from, reinterpret_cast<unsigned char*>(to->data()), num);
}

void ByteStringToAscii(absl::string_view bytes, int bytes_to_read, std::string* out) {
  RAW_CHECK(bytes_to_read >= 0, "negative byte count");
  b2a_hex(reinterpret_cast<const unsigned char*>(bytes.data()), out,
          std::min(bytes.size(), static_cast<size_t>(bytes_to_read)));
}

bool ByteStringFromAscii(absl::string_view hex, std::string* bytes) {
  bytes->clear();
  if (hex.size() % 2 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (!absl::ascii_isxdigit(static_cast<unsigned char>(hex[i])) ||
        !absl::ascii_isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
      return false;
    }
    bytes->push_back(static_cast<char>(HexValueOrZero(hex[i]) << 4 | HexValueOrZero(hex[i + 1])));
  }
  return true;
}

std::string a2b_bin(absl::string_view bits, bool msb_first) {
  std::string out((bits.size() + 7) / 8, '\0');
  size_t pos = 0;
  for (char& byte : out) {
    unsigned value = 0;
    for (int k = 0; k < 8 && pos < bits.size() && bits[pos] != '\0'; ++k, ++pos) {
      if (bits[pos] != '0') value |= msb_first ? 0x80u >> k : 1u << k;
    }
    byte = static_cast<char>(value);
  }
  return out;
}

std::string b2a_bin(absl::string_view bytes, bool msb_first) {
  std::string out;
  out.reserve(bytes.size() * 8);
  for (char c : bytes) {
    const unsigned b = static_cast<unsigned char>(c);
    for (int k = 0; k < 8; ++k) {
      const unsigned bit = msb_first ? 0x80u >> k : 1u << k;
      out.push_back(b & bit ? '1' : '0');
    }
  }
  return out;
}

}  // namespace strings
