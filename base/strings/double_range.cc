#include "base/strings/double_range.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace strings {
namespace {

bool InSet(const char* set, char c) {
  return c != '\0' && set != nullptr && std::strchr(set, c) != nullptr;
}

// Reads the range over a zero-terminated copy of the caller's text: strtod may then
// run to the terminator but never past the caller's bytes.
class RangeReader {
 public:
  RangeReader(const char* start, const char* limit, const DoubleRangeOptions& options)
      : p_(start), limit_(limit), options_(options) {}

  const char* position() const { return p_; }
  bool AtEnd() const { return p_ >= limit_ || *p_ == '\0'; }
  char Peek(int ahead = 0) const { return p_ + ahead < limit_ ? p_[ahead] : '\0'; }
  void Advance(int n = 1) { p_ += n; }
  void GiveBack() { --p_; }

  bool TakeIf(char c) {
    if (AtEnd() || *p_ != c) return false;
    ++p_;
    return true;
  }

  // A bound: "?" when markers are allowed (leaves `*value` as it is), or a number
  // starting with a digit, a sign or ".". Sets `*number_text_end` to the last
  // character of the number, or null for "?".
  bool ReadBound(double* value, const char** number_last) {
    *number_last = nullptr;
    if (options_.allow_unbounded_markers && TakeIf('?')) return true;
    const char c = Peek();
    if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')) return false;
    char* after = nullptr;
    const double v = std::strtod(p_, &after);
    if (after == p_) return false;
    *value = v;
    p_ = after;
    *number_last = after - 1;
    return true;
  }

  // The verdict once the range has been read: `*end` points at what follows.
  bool Finish(const char* text_start, const char* copy_start, const char** end,
              bool step_back_over_dot) {
    *end = text_start + (p_ - copy_start);
    if (AtEnd()) return options_.null_terminator_ok;
    if (!InSet(options_.acceptable_terminators, *p_)) return false;
    if (step_back_over_dot && *p_ == '.') --*end;
    return true;
  }

 private:
  const char* p_;
  const char* limit_;
  const DoubleRangeOptions& options_;
};

}  // namespace

bool ParseDoubleRange(const char* text, int len, const char** end, double* from, double* to,
                      bool* is_currency, const DoubleRangeOptions& options) {
  std::string copy = len < 0 ? std::string(text) : std::string(text, static_cast<size_t>(len));
  const char* start = copy.c_str();
  RangeReader in(start, start + copy.size(), options);

  if (!options.keep_unbounded_values) {
    *from = -std::numeric_limits<double>::infinity();
    *to = std::numeric_limits<double>::infinity();
  }
  const double initial_from = *from;
  if (is_currency != nullptr && options.allow_currency) *is_currency = false;
  const auto note_currency = [&] {
    if (is_currency != nullptr) *is_currency = true;
  };

  // "<5", ">= $3", "<?".
  if (options.allow_comparators && (in.Peek() == '<' || in.Peek() == '>')) {
    const bool below = in.Peek() == '<';
    in.Advance();
    in.TakeIf('=');
    if (options.allow_currency) {
      if (in.AtEnd()) return false;
      if (in.TakeIf('$')) note_currency();
    }
    if (in.AtEnd()) return false;
    const char* number_last;
    if (!in.ReadBound(below ? to : from, &number_last)) return false;
    return in.Finish(text, start, end, /*step_back_over_dot=*/false);
  }

  bool leading_dollar = options.allow_currency && in.TakeIf('$');
  bool leading_minus = false;
  if (!leading_dollar && in.Peek() == '-' && InSet(options.separators, '-') &&
      options.num_required_bounds <= 1) {
    in.Advance();
    leading_minus = true;
  }

  // First bound. A number like "3." followed by ".." gives its "." back when "." can
  // separate, so "3...5" still reads as 3 to 5.
  const char* number_last = nullptr;
  bool has_first = in.ReadBound(from, &number_last);
  const bool first_is_number = has_first && number_last != nullptr;
  bool dot_given_back = false;
  if (first_is_number && *number_last == '.' && InSet(options.separators, '.')) {
    in.GiveBack();
    dot_given_back = true;
  }
  if (!has_first && options.num_required_bounds == 2) return false;
  if (leading_dollar && !has_first) {
    in.GiveBack();
    leading_dollar = false;
  }

  bool separated = false;
  if (InSet(options.separators, in.Peek())) {
    if (in.Peek() != '.') {
      in.Advance();
      separated = true;
    } else if (in.Peek(1) == '.') {
      in.Advance(2);
      if (dot_given_back) in.TakeIf('.');
      separated = true;
    } else if (InSet(options.separators, in.Peek(1))) {
      in.Advance();
      separated = true;
    }
  }

  bool dollar_taken = leading_dollar;
  if (separated) {
    if (leading_minus && first_is_number) *from = -*from;
    bool second_dollar = false;
    if ((leading_dollar || (!has_first && options.allow_currency)) && in.TakeIf('$')) {
      second_dollar = true;
    }
    const char* second_last;
    const bool has_second = in.ReadBound(to, &second_last);
    if (second_dollar && !has_second) in.GiveBack();
    dollar_taken = dollar_taken || (second_dollar && has_second);
    const uint32_t given = (has_first ? 1 : 0) + (has_second ? 1 : 0);
    if (given < options.num_required_bounds) return false;
  } else {
    if (dot_given_back) in.Advance();
    if (leading_minus && first_is_number) {
      // "-5": up to 5.
      *to = *from;
      *from = initial_from;
    } else if (options.require_separator || options.num_required_bounds == 2 ||
               (!has_first && options.num_required_bounds >= 1)) {
      return false;
    }
  }
  if (dollar_taken) note_currency();
  return in.Finish(text, start, end, /*step_back_over_dot=*/true);
}

}  // namespace strings
