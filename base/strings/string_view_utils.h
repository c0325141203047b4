// Small edits and searches on string views. The Remove* and Consume* functions shrink
// the caller's view from the front or back and report how much they took; the text
// itself is never touched. Whitespace is the ASCII set: space, \t, \n, \v, \f, \r.

#ifndef BASE_STRINGS_STRING_VIEW_UTILS_H_
#define BASE_STRINGS_STRING_VIEW_UTILS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "absl/strings/string_view.h"

namespace strings {

// Drop leading, trailing, or both kinds of whitespace; return the number removed.
size_t RemoveLeadingWhitespace(absl::string_view* text);
size_t RemoveTrailingWhitespace(absl::string_view* text);
size_t RemoveWhitespaceContext(absl::string_view* text);

// Drops everything up to and including the first `c`, or everything when there is
// none; returns the number removed.
size_t RemoveUntil(absl::string_view* text, char c);

// Reads the leading decimal digits into `*value` and drops them. False, leaving the
// view as it was, when there is no digit or the number does not fit 64 bits.
bool ConsumeLeadingDigits(absl::string_view* text, uint64_t* value);

// First position at or after `start` where `pattern` matches ignoring ASCII case;
// npos when there is none or `start` is past the end.
size_t FindIgnoreCase(absl::string_view text, absl::string_view pattern, size_t start = 0);

// The leading part of `a` that `b` shares; empty when either is empty.
absl::string_view FindLongestCommonPrefix(absl::string_view a, absl::string_view b);

}  // namespace strings

// Splits `full` at every character of `delimiters` (null: none), skips empty pieces
// and appends the rest to `*result` after what it already holds.
// "a,,b;c" with ",;" appends "a", "b", "c".
void SplitStringUsing(absl::string_view full, const char* delimiters,
                      std::vector<std::string>* result);

#endif  // BASE_STRINGS_STRING_VIEW_UTILS_H_
