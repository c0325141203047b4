#ifndef BASE_STRINGS_NUMBERS_H_
#define BASE_STRINGS_NUMBERS_H_

#include <string>

namespace strings {

// Smallest buffer DoubleToBuffer and FloatToBuffer accept.
inline constexpr int kFastToBufferSize = 32;

// The shortest "%g" text of 15 (float: 6) significant digits that reads back
// to exactly `value`, else the text of 17 (float: 9) digits, which always
// does. 0.1 gives "0.1", 1e100 gives "1e+100".
std::string RoundTripDtoa(double value);
std::string RoundTripFtoa(float value);

// The same texts, written into `buffer` (at least kFastToBufferSize bytes,
// zero-terminated). Return `buffer`.
char* DoubleToBuffer(double value, char* buffer);
char* FloatToBuffer(float value, char* buffer);

// "true" or "false".
inline std::string SimpleBtoa(bool value) { return value ? "true" : "false"; }

}  // namespace strings

#endif  // BASE_STRINGS_NUMBERS_H_
