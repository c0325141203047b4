#include "base/strings/escaping.h"

#include <cstring>

#include "absl/strings/ascii.h"
#include "absl/strings/escaping.h"
#include "base/strings/digit_value.h"

namespace strings {
namespace {

using internal::HexValueOrZero;

bool IsHex(char c) { return absl::ascii_isxdigit(static_cast<unsigned char>(c)); }
bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// Length of the escape sequence at `s[i]` (a backslash) as Abseil's unescaper reads
// it, and whether its value is zero. A malformed sequence is left for Abseil to report.
struct Escape {
  size_t length;
  bool is_zero;
};

Escape ScanEscape(absl::string_view s, size_t i) {
  if (i + 1 >= s.size()) return {s.size() - i, false};
  const char c = s[i + 1];
  size_t j = i + 1;
  bool all_zero = true;
  if (IsOctal(c)) {
    while (j < s.size() && j < i + 4 && IsOctal(s[j])) all_zero &= s[j++] == '0';
    return {j - i, all_zero};
  }
  if (c == 'x' || c == 'X') {
    ++j;
    while (j < s.size() && IsHex(s[j])) all_zero &= s[j++] == '0';
    return {j - i, all_zero && j > i + 2};
  }
  if (c == 'u' || c == 'U') {
    const size_t digits = c == 'u' ? 4 : 8;
    ++j;
    while (j < s.size() && j < i + 2 + digits && IsHex(s[j])) all_zero &= s[j++] == '0';
    return {j - i, all_zero && j == i + 2 + digits};
  }
  return {2, false};
}

// Quoted-printable and Q-encoding share everything but three rules.
std::string UnescapeQuotedText(absl::string_view src, bool q_encoding) {
  std::string out;
  out.reserve(src.size());
  const size_t n = src.size();
  size_t i = 0;
  while (i < n && src[i] != '\0') {
    const char c = src[i];
    if (c == '_' && q_encoding) {
      out.push_back(' ');
      ++i;
    } else if (c != '=') {
      out.push_back(c);
      ++i;
    } else if (i + 2 < n && IsHex(src[i + 1]) && IsHex(src[i + 2])) {
      out.push_back(static_cast<char>(HexValueOrZero(src[i + 1]) << 4 |
                                      HexValueOrZero(src[i + 2])));
      i += 3;
    } else if (!q_encoding && i + 1 < n && src[i + 1] == '\n') {
      i += 2;  // soft line break
    } else if (i + 2 < n && src[i + 1] == '\r' && src[i + 2] == '\n') {
      i += 3;  // soft line break
    } else {
      ++i;  // a stray "=" is dropped
    }
  }
  return out;
}

bool IsFileNameSafe(char c) {
  return absl::ascii_isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ||
         c == '_';
}

}  // namespace

int EscapeStrForCSV(const char* src, char* dest, int dest_len) {
  int used = 0;
  for (; *src != '\0'; ++src) {
    const int need = *src == '"' ? 2 : 1;
    if (used + need >= dest_len) return -1;  // keep room for the zero
    dest[used++] = *src;
    if (*src == '"') dest[used++] = '"';
  }
  if (used >= dest_len) return -1;
  dest[used] = '\0';
  return used;
}

void CEscapeAndAppend(absl::string_view src, std::string* dest) {
  dest->append(absl::CEscape(src));
}

bool CUnescapeForNullTerminatedString(absl::string_view source, std::string* dest,
                                      std::string* error) {
  dest->clear();
  std::string piece;
  size_t segment_start = 0;
  size_t i = 0;
  // Split the text at escapes of value zero: the stretches between them go to Abseil,
  // the zero escapes are copied as they stand.
  const auto flush = [&](size_t end) {
    if (!absl::CUnescape(source.substr(segment_start, end - segment_start), &piece, error)) {
      return false;
    }
    dest->append(piece);
    return true;
  };
  while (i < source.size()) {
    if (source[i] != '\\') {
      ++i;
      continue;
    }
    const Escape escape = ScanEscape(source, i);
    if (escape.is_zero) {
      if (!flush(i)) return false;
      dest->append(source.data() + i, escape.length);
      segment_start = i + escape.length;
    }
    i += escape.length;
  }
  return flush(source.size());
}

bool CUnescapeForNullTerminatedString(absl::string_view source, char* dest, int* dest_len,
                                      std::string* error) {
  std::string out;
  if (!CUnescapeForNullTerminatedString(source, &out, error)) return false;
  std::memcpy(dest, out.data(), out.size());  // never longer than the source
  *dest_len = static_cast<int>(out.size());
  return true;
}

std::string QuotedPrintableUnescape(absl::string_view src) {
  return UnescapeQuotedText(src, /*q_encoding=*/false);
}

std::string QEncodingUnescape(absl::string_view src) {
  return UnescapeQuotedText(src, /*q_encoding=*/true);
}

void EscapeFileName(absl::string_view src, std::string* dst) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (char c : src) {
    if (IsFileNameSafe(c)) {
      dst->push_back(c);
    } else if (c == '/') {
      dst->push_back('~');
    } else {
      const unsigned char b = static_cast<unsigned char>(c);
      dst->push_back('%');
      dst->push_back(kHex[b >> 4]);
      dst->push_back(kHex[b & 0xF]);
    }
  }
}

void UnescapeFileName(absl::string_view src, std::string* dst) {
  for (size_t i = 0; i < src.size(); ++i) {
    const char c = src[i];
    if (c == '%' && i + 2 < src.size()) {
      dst->push_back(static_cast<char>(HexValueOrZero(src[i + 1]) << 4 |
                                       HexValueOrZero(src[i + 2])));
      i += 2;
    } else if (c == '~') {
      dst->push_back('/');
    } else {
      dst->push_back(c);
    }
  }
}

std::string ShellEscape(absl::string_view src) {
  static constexpr absl::string_view kSafe =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-_.=/:,@";
  if (!src.empty() && src.find_first_not_of(kSafe) == absl::string_view::npos) {
    return std::string(src);
  }
  if (src.find('\'') == absl::string_view::npos) {
    return "'" + std::string(src) + "'";
  }
  std::string out = "\"";
  for (char c : src) {
    if (c == '"' || c == '$' || c == '\\' || c == '`') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

void CleanStringLineEndings(std::string* str, bool auto_end_last_line) {
  size_t out = 0;
  const size_t n = str->size();
  for (size_t i = 0; i < n; ++i) {
    const char c = (*str)[i];
    if (c == '\r') {
      (*str)[out++] = '\n';
      if (i + 1 < n && (*str)[i + 1] == '\n') ++i;
    } else {
      (*str)[out++] = c;
    }
  }
  str->resize(out);
  if (auto_end_last_line && !str->empty() && str->back() != '\n') str->push_back('\n');
}

void CleanStringLineEndings(const std::string& src, std::string* dst, bool auto_end_last_line) {
  if (dst->empty()) {
    dst->append(src);
    CleanStringLineEndings(dst, auto_end_last_line);
  } else {
    std::string copy = src;
    CleanStringLineEndings(&copy, auto_end_last_line);
    dst->append(copy);
  }
}

}  // namespace strings
