// The value of one ASCII digit or letter, shared by the parsers and decoders of this
// folder.

#ifndef BASE_STRINGS_DIGIT_VALUE_H_
#define BASE_STRINGS_DIGIT_VALUE_H_

namespace strings::internal {

// 0-9 for digits, 10-35 for letters of either case, 36 for anything else.
inline int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 36;
}

// A hex digit's value; any other character counts as 0, for decoders that do not
// validate.
inline int HexValueOrZero(char c) {
  const int v = DigitValue(c);
  return v < 16 ? v : 0;
}

}  // namespace strings::internal

#endif  // BASE_STRINGS_DIGIT_VALUE_H_
