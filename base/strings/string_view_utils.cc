#include "base/strings/string_view_utils.h"

#include <algorithm>
#include <limits>

#include "absl/strings/ascii.h"
#include "absl/strings/match.h"
#include "absl/strings/str_split.h"

namespace strings {

size_t RemoveLeadingWhitespace(absl::string_view* text) {
  const size_t before = text->size();
  *text = absl::StripLeadingAsciiWhitespace(*text);
  return before - text->size();
}

size_t RemoveTrailingWhitespace(absl::string_view* text) {
  const size_t before = text->size();
  *text = absl::StripTrailingAsciiWhitespace(*text);
  return before - text->size();
}

size_t RemoveWhitespaceContext(absl::string_view* text) {
  return RemoveLeadingWhitespace(text) + RemoveTrailingWhitespace(text);
}

size_t RemoveUntil(absl::string_view* text, char c) {
  const size_t pos = text->find(c);
  const size_t count = pos == absl::string_view::npos ? text->size() : pos + 1;
  text->remove_prefix(count);
  return count;
}

bool ConsumeLeadingDigits(absl::string_view* text, uint64_t* value) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t v = 0;
  size_t n = 0;
  for (; n < text->size() && absl::ascii_isdigit(static_cast<unsigned char>((*text)[n])); ++n) {
    const uint64_t digit = (*text)[n] - '0';
    if (v > (kMax - digit) / 10) return false;
    v = v * 10 + digit;
  }
  if (n == 0) return false;
  *value = v;
  text->remove_prefix(n);
  return true;
}

size_t FindIgnoreCase(absl::string_view text, absl::string_view pattern, size_t start) {
  if (start > text.size()) return absl::string_view::npos;
  for (size_t pos = start; pattern.size() <= text.size() - pos; ++pos) {
    if (absl::EqualsIgnoreCase(text.substr(pos, pattern.size()), pattern)) return pos;
  }
  return absl::string_view::npos;
}

absl::string_view FindLongestCommonPrefix(absl::string_view a, absl::string_view b) {
  const size_t limit = std::min(a.size(), b.size());
  size_t n = 0;
  while (n < limit && a[n] == b[n]) ++n;
  return a.substr(0, n);
}

}  // namespace strings

void SplitStringUsing(absl::string_view full, const char* delimiters,
                      std::vector<std::string>* result) {
  for (absl::string_view piece :
       absl::StrSplit(full, absl::ByAnyChar(delimiters == nullptr ? "" : delimiters),
                      absl::SkipEmpty())) {
    result->emplace_back(piece);
  }
}
