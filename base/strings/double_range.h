// Parsing a range of two numbers such as "3-7", "$5 to $9" (with " to" handled by the
// caller's separators) or ">= 2.5".
//
//   strings::DoubleRangeOptions options;
//   options.separators = "-";
//   options.null_terminator_ok = true;
//   double from, to;
//   const char* end;
//   strings::ParseDoubleRange("3-7", -1, &end, &from, &to, nullptr, options);
//   // from == 3, to == 7
//
// A bound that is not given is -inf (from) or +inf (to), unless the caller asks to keep
// the values already in `from` and `to`. "-7" with "-" among the separators means "up
// to 7" when at most one bound is required. The function fails by returning false.

#ifndef BASE_STRINGS_DOUBLE_RANGE_H_
#define BASE_STRINGS_DOUBLE_RANGE_H_

#include <cstdint>

namespace strings {

struct DoubleRangeOptions {
  // Characters that separate the two bounds.
  const char* separators = "";
  // A single number without a separator fails.
  bool require_separator = false;
  // Characters that may follow the range.
  const char* acceptable_terminators = "";
  // The result when the text ends right after the range.
  bool null_terminator_ok = false;
  // "?" stands for a bound that is not given.
  bool allow_unbounded_markers = false;
  // How many bounds (0, 1 or 2) the text must give.
  uint32_t num_required_bounds = 0;
  // Bounds not given keep the caller's values instead of becoming infinite.
  bool keep_unbounded_values = false;
  // A "$" may precede a bound; `is_currency` reports whether one did.
  bool allow_currency = false;
  // The text may start with "<", "<=", ">" or ">=" and one bound.
  bool allow_comparators = false;
};

// Reads a range from `text` (`len` bytes, or up to its zero byte when `len` is -1).
// `*end` is set to the first character after the range on success and when the
// range is followed by a character that is not an acceptable terminator.
// `is_currency` may be null.
bool ParseDoubleRange(const char* text, int len, const char** end, double* from, double* to,
                      bool* is_currency, const DoubleRangeOptions& options);

}  // namespace strings

#endif  // BASE_STRINGS_DOUBLE_RANGE_H_
