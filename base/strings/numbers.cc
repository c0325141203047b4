#include "base/strings/numbers.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "absl/strings/ascii.h"
#include "absl/strings/strip.h"
#include "absl/strings/match.h"
#include "base/raw_logging.h"
#include "base/strings/digit_value.h"

namespace strings {
namespace {

using internal::DigitValue;

// The largest double below DBL_MAX by one unit in the last place; for values
// beyond it the 15-digit text would round up to infinity when read back.
constexpr double kMaxShortDouble = 1.7976931348623137e308;

constexpr char kBase36Digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";

bool AllHexDigits(absl::string_view text) {
  for (char c : text) {
    if (!absl::ascii_isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

template <typename T>
T ClampToInt32(T v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return v;
}

// strtoll/strtoull with the default when no digit was read.
int64_t LeadingSigned(const char* str, int base, int64_t deflt) {
  char* end = nullptr;
  const long long v = std::strtoll(str, &end, base);
  return end == str ? deflt : v;
}

uint64_t LeadingUnsigned(const char* str, int base, uint64_t deflt) {
  char* end = nullptr;
  const unsigned long long v = std::strtoull(str, &end, base);
  return end == str ? deflt : v;
}

uint32_t ReduceToUInt32(const char* str, int base, uint32_t deflt) {
  char* end = nullptr;
  const long long v = std::strtoll(str, &end, base);
  if (end == str) return deflt;
  constexpr long long kMax = UINT32_MAX;
  if (v < -kMax || v > kMax) return UINT32_MAX;
  return static_cast<uint32_t>(v);
}

}  // namespace

char* DoubleToBuffer(double value, char* buffer) {
  if (std::fabs(value) <= kMaxShortDouble) {
    std::snprintf(buffer, kFastToBufferSize, "%.*g", 15, value);
    if (std::strtod(buffer, nullptr) == value) return buffer;
  }
  std::snprintf(buffer, kFastToBufferSize, "%.*g", 17, value);
  return buffer;
}

char* FloatToBuffer(float value, char* buffer) {
  std::snprintf(buffer, kFastToBufferSize, "%.*g", 6, static_cast<double>(value));
  if (std::strtof(buffer, nullptr) == value) return buffer;
  std::snprintf(buffer, kFastToBufferSize, "%.*g", 9, static_cast<double>(value));
  return buffer;
}

std::string RoundTripDtoa(double value) {
  char buffer[kFastToBufferSize];
  return DoubleToBuffer(value, buffer);
}

std::string RoundTripFtoa(float value) {
  char buffer[kFastToBufferSize];
  return FloatToBuffer(value, buffer);
}

std::string FpToString(uint64_t fp) {
  char buffer[17];
  std::snprintf(buffer, sizeof(buffer), "%016" PRIx64, fp);
  return buffer;
}

std::string Uint128ToHexString(absl::uint128 value) {
  return FpToString(absl::Uint128High64(value)) + FpToString(absl::Uint128Low64(value));
}

bool StringToFp(absl::string_view text, uint64_t* fp) {
  if (text.size() != 16 || !AllHexDigits(text)) return false;
  uint64_t v = 0;
  for (char c : text) v = v << 4 | DigitValue(c);
  *fp = v;
  return true;
}

bool HexStringToUint128(absl::string_view text, absl::uint128* value) {
  *value = 0;
  if (text.empty() || text.size() > 32 || !AllHexDigits(text)) return false;
  absl::uint128 v = 0;
  for (char c : text) v = v << 4 | DigitValue(c);
  *value = v;
  return true;
}

double ParseLeadingDoubleValue(const char* str, double deflt) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(str, &end);
  if (end == str || errno != 0) return deflt;
  return v;
}

bool ParseLeadingBoolValue(const char* str, bool deflt) {
  while (absl::ascii_isspace(static_cast<unsigned char>(*str))) ++str;
  size_t len = 0;
  while (absl::ascii_isalnum(static_cast<unsigned char>(str[len]))) ++len;
  const absl::string_view word(str, len);
  switch (len) {
    case 1:
      if (word == "0" || word == "n" || word == "N") return false;
      if (word == "1" || word == "y" || word == "Y") return true;
      break;
    case 2:
      if (absl::EqualsIgnoreCase(word, "no")) return false;
      break;
    case 3:
      if (absl::EqualsIgnoreCase(word, "yes")) return true;
      break;
    case 4:
      if (absl::EqualsIgnoreCase(word, "true")) return true;
      break;
    case 5:
      if (absl::EqualsIgnoreCase(word, "false")) return false;
      break;
  }
  return deflt;
}

int32_t ParseLeadingInt32Value(const char* str, int32_t deflt) {
  char* end = nullptr;
  const long v = std::strtol(str, &end, 0);
  return end == str ? deflt : static_cast<int32_t>(ClampToInt32(v));
}

int32_t ParseLeadingDec32Value(const char* str, int32_t deflt) {
  char* end = nullptr;
  const long v = std::strtol(str, &end, 10);
  return end == str ? deflt : static_cast<int32_t>(ClampToInt32(v));
}

uint32_t ParseLeadingUInt32Value(const char* str, uint32_t deflt) {
  return ReduceToUInt32(str, 0, deflt);
}

uint32_t ParseLeadingUDec32Value(const char* str, uint32_t deflt) {
  return ReduceToUInt32(str, 10, deflt);
}

int64_t ParseLeadingInt64Value(const char* str, int64_t deflt) {
  return LeadingSigned(str, 0, deflt);
}

uint64_t ParseLeadingUInt64Value(const char* str, uint64_t deflt) {
  return LeadingUnsigned(str, 0, deflt);
}

int64_t ParseLeadingDec64Value(const char* str, int64_t deflt) {
  return LeadingSigned(str, 10, deflt);
}

uint64_t ParseLeadingUDec64Value(const char* str, uint64_t deflt) {
  return LeadingUnsigned(str, 10, deflt);
}

uint64_t ParseLeadingHex64Value(const char* str, uint64_t deflt) {
  return LeadingUnsigned(str, 16, deflt);
}

uint64_t atoi_kmgt(const char* s) {
  char* end = nullptr;
  uint64_t n = std::strtoull(s, &end, 10);
  switch (*end) {
    case 'k':
    case 'K':
      n <<= 10;
      break;
    case 'm':
    case 'M':
      n <<= 20;
      break;
    case 'g':
    case 'G':
      n <<= 30;
      break;
    case 't':
    case 'T':
      n <<= 40;
      break;
    default:
      if (absl::ascii_isalpha(static_cast<unsigned char>(*end))) {
        RAW_LOG(FATAL, "Invalid mnemonic: '%c'; should be one of 'K', 'M', 'G', and 'T'.",
                *end);
      }
      break;
  }
  return n;
}

std::string ItoaKMGT(int64_t value) {
  std::string out = value < 0 ? "-" : "";
  // Negate in unsigned arithmetic so that INT64_MIN has a magnitude too.
  const uint64_t m = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  uint64_t shown = m;
  const char* unit = "";
  if (m >= (uint64_t{1} << 41)) {
    shown = m >> 40;
    unit = "T";
  } else if (m >= (uint64_t{1} << 31)) {
    shown = m >> 30;
    unit = "G";
  } else if (m >= (uint64_t{1} << 21)) {
    shown = m >> 20;
    unit = "M";
  } else if (m >= 2048) {
    shown = m >> 10;
    unit = "K";
  }
  return out + std::to_string(shown) + unit;
}

bool safe_strtosize_t_base(absl::string_view text, size_t* value, int base) {
  *value = 0;
  if (text.data() == nullptr) return false;
  text = absl::StripAsciiWhitespace(text);
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    const bool negative = text[0] == '-';
    text.remove_prefix(1);
    if (text.empty() || negative) return false;
  }
  if (base != 0 && (base < 2 || base > 36)) return false;
  const bool hex_prefix =
      text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if ((base == 16 || base == 0) && hex_prefix) {
    text.remove_prefix(2);
    if (text.empty()) return false;
    base = 16;
  } else if (base == 0) {
    base = !text.empty() && text[0] == '0' ? 8 : 10;
  }
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  const size_t safe_multiple = kMax / base;
  size_t v = 0;
  for (char c : text) {
    const int digit = DigitValue(c);
    if (digit >= base) {
      *value = v;
      return false;
    }
    if (v > safe_multiple || v * base > kMax - digit) {
      *value = kMax;
      return false;
    }
    v = v * base + digit;
  }
  *value = v;
  return true;
}

size_t u64tostr_base36(uint64_t value, size_t buf_size, char* buffer) {
  RAW_CHECK(buf_size > 0, "Buffer size must be positive.");
  RAW_CHECK(buffer != nullptr, "Output buffer must not be nullptr.");
  char digits[16];  // 36^13 > 2^64
  size_t n = 0;
  do {
    digits[n++] = kBase36Digits[value % 36];
    value /= 36;
  } while (value != 0);
  if (n + 1 > buf_size) return 0;
  for (size_t i = 0; i < n; ++i) buffer[i] = digits[n - 1 - i];
  buffer[n] = '\0';
  return n;
}

char* FastTimeToBuffer(time_t seconds, char* buffer) {
  static constexpr char kWeekdays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (seconds == 0) seconds = std::time(nullptr);
  struct tm tm;
  if (gmtime_r(&seconds, &tm) == nullptr || tm.tm_year + 1900 >= 10000) {
    std::snprintf(buffer, kFastTimeToBufferSize, "Invalid:%lld",
                  static_cast<long long>(seconds));
    return buffer;
  }
  const char* weekday = tm.tm_wday >= 0 && tm.tm_wday < 7 ? kWeekdays[tm.tm_wday] : "Xxx";
  const char* month = tm.tm_mon >= 0 && tm.tm_mon < 12 ? kMonths[tm.tm_mon] : "Xxx";
  // Every field has its width for the years that get here, but the compiler cannot
  // know that: format into room for any int, then keep what the caller's buffer holds.
  char text[64];
  std::snprintf(text, sizeof(text), "%s, %02d %s %04d %02d:%02d:%02d GMT", weekday, tm.tm_mday,
                month, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  const size_t n = std::min<size_t>(std::strlen(text), kFastTimeToBufferSize - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return buffer;
}

int AutoDigitStrCmp(absl::string_view a, absl::string_view b, bool strict) {
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (is_digit(a[i]) && is_digit(b[j])) {
      size_t a_start = i;  // first digit after the leading zeros
      while (a_start < a.size() && a[a_start] == '0') ++a_start;
      size_t b_start = j;
      while (b_start < b.size() && b[b_start] == '0') ++b_start;
      size_t a_end = a_start;
      while (a_end < a.size() && is_digit(a[a_end])) ++a_end;
      size_t b_end = b_start;
      while (b_end < b.size() && is_digit(b[b_end])) ++b_end;
      const size_t a_len = a_end - a_start;
      const size_t b_len = b_end - b_start;
      if (a_len != b_len) return a_len < b_len ? -1 : 1;
      const int c = std::memcmp(a.data() + a_start, b.data() + b_start, a_len);
      if (c != 0) return c < 0 ? -1 : 1;
      const size_t a_zeros = a_start - i;
      const size_t b_zeros = b_start - j;
      if (strict && a_zeros != b_zeros) return a_zeros > b_zeros ? -1 : 1;
      i = a_end;
      j = b_end;
      continue;
    }
    const signed char ca = static_cast<signed char>(a[i]);
    const signed char cb = static_cast<signed char>(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

int AutoDigitStrCmpZ(const char* a, const char* b, bool strict) {
  return AutoDigitStrCmp(a, b, strict);
}

bool HexDigitsPrefix(const char* buf, size_t len) {
  return AllHexDigits(absl::string_view(buf, len));
}

void ConsumeStrayLeadingZeroes(std::string* str) {
  if (str->size() < 2 || (*str)[0] != '0') return;
  size_t zeros = str->find_first_not_of('0');
  if (zeros == std::string::npos || zeros > str->size() - 1) zeros = str->size() - 1;
  str->erase(0, zeros);
}

}  // namespace strings
